#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "graphics/host.h"

namespace quillbar {

std::optional<std::vector<unsigned char>> read_picture_file(const char *path) {
    // Read access is all this needs: a logo in a read-only folder is fine.
    // The lock keeps a writer that locks too from changing it under us.
    // O_NONBLOCK: a FIFO named by mistake must not hang the open.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }  // the lock goes with it
    } closer{fd};
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return std::nullopt;
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;

    std::vector<unsigned char> data(static_cast<std::size_t>(st.st_size) + 1);
    std::size_t size = 0;
    for (;;) {
        if (size == data.size()) data.resize(data.size() * 2);  // it grew since
        const ssize_t n = ::read(fd, data.data() + size, data.size() - size);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        size += static_cast<std::size_t>(n);
    }
    data.resize(size);
    return data;
}

// POSIX has no modal message box: applications that want the stages shown
// set a handler (QB_SetMessageHandler).
void show_message_box(const std::string &) {}

}  // namespace quillbar
