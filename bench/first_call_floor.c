/* SPDX-License-Identifier: MIT */
/* The floor of a first call: a program linked to nothing but the C library
 * that opens the port (an existing file, appended to as the library does) and
 * writes the bytes the library would have written (read from a file).
 * Usage: first_call_floor OUT BYTES */
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char **argv) {
    static char data[1 << 16];
    if (argc < 3) return 2;
    const int in = open(argv[2], O_RDONLY);
    const ssize_t n = in >= 0 ? read(in, data, sizeof data) : -1;
    if (in >= 0) close(in);
    const int fd = open(argv[1], O_WRONLY | O_APPEND | O_NOCTTY | O_CLOEXEC);
    const int ok = n >= 0 && fd >= 0 && write(fd, data, (size_t)n) == n;
    if (fd >= 0) close(fd);
    return ok ? 0 : 1;
}
