// SPDX-License-Identifier: MIT
#include "label/cache_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace quillbar {

void make_folders(const std::string &file) {
    for (std::string::size_type slash = file.find('/', 1); slash != std::string::npos;
         slash = file.find('/', slash + 1))
        ::mkdir(file.substr(0, slash).c_str(), 0700);
}

bool write_all(int fd, std::string_view data) {
    for (std::size_t done = 0; done < data.size();) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool replace_file(const std::string &file, std::string_view text) {
    make_folders(file);
    // The process's own name for it: two processes replacing the file at
    // once each rename a whole file, and the last one stays.
    const std::string temporary = file + "." + std::to_string(::getpid()) + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool written = fd >= 0 && write_all(fd, text);
    if (fd >= 0 && ::close(fd) != 0) written = false;
    if (written && std::rename(temporary.c_str(), file.c_str()) == 0) return true;
    std::remove(temporary.c_str());
    return false;
}

}  // namespace quillbar
