// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "graphics/host.h"

namespace quillbar {

namespace {

std::nullopt_t refuse(std::string &error, const std::string &why) {
    error = why;
    return std::nullopt;
}

std::string said(const char *what, const char *path) { return std::string(what) + path + ": " + std::strerror(errno); }

}  // namespace

std::optional<std::vector<unsigned char>> read_picture_file(const char *path, std::string &error) {
    // Only a regular file, checked before it is opened: opening a FIFO would
    // release a writer blocked on it, and a device could hang or never end.
    struct stat before{};
    if (::stat(path, &before) != 0) return refuse(error, said("cannot read the picture ", path));
    if (!S_ISREG(before.st_mode)) return refuse(error, std::string("the picture ") + path + " is not a plain file");
    // Read access is all this needs: a logo in a read-only folder is fine.
    // The shared lock keeps a writer that locks too from changing it under
    // us, and lets other readers (other threads and programs storing the
    // same logo) read it at the same time.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return refuse(error, said("cannot read the picture ", path));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }  // the lock goes with it
    } closer{fd};
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0)
        return refuse(error, std::string("the picture ") + path + " is in use by another program");
    // The same file that was checked, not one put in its place since.
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != before.st_dev || st.st_ino != before.st_ino)
        return refuse(error, std::string("the picture ") + path + " was replaced while it was opened");

    // Exactly the size it had when opened: the GM line announces it, and a
    // file that keeps growing must not be read without end.
    std::vector<unsigned char> data(static_cast<std::size_t>(st.st_size));
    std::size_t size = 0;
    while (size < data.size()) {
        const ssize_t n = ::read(fd, data.data() + size, data.size() - size);
        if (n == 0)  // it shrank: what was announced cannot be sent
            return refuse(error, std::string("the picture ") + path + " shrank while it was read");
        if (n < 0) {
            if (errno == EINTR) continue;
            return refuse(error, said("cannot read the picture ", path));
        }
        size += static_cast<std::size_t>(n);
    }
    return data;
}

// POSIX has no modal message box: applications that want the stages shown
// set a handler (QB_SetMessageHandler).
void show_message_box(const std::string &) {}

}  // namespace quillbar
