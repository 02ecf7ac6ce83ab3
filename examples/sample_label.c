/*
 * Prints a sample shipping label: a frame, rules, printer-font text and two
 * bar codes.
 *
 *   sample_label                 print to a pseudo-terminal made for the run
 *                                (as COM1) and show the EPL2 stream it sent
 *   sample_label PORT DEVICE     print through port PORT (1 LPT1, 2 LPT2,
 *                                3 COM1, 4 COM2) routed to DEVICE, e.g.
 *                                "3 /dev/ttyUSB0" or "1 /dev/usb/lp0"
 */
#define _XOPEN_SOURCE 600
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "quillbar.h"

static int print_label(int port) {
    if (QB_PortOpen(port, 9600) != 0) return -1;
    int rc = 0;
    rc |= QB_SetInitialize(3, 10, 1);
    rc |= QB_SetPaperSize(0, 100, 60, 3);
    rc |= QB_SetClear();
    rc |= QB_PrintBox(2, 2, 98, 58, 1);
    rc |= QB_PrintLine(2, 16, 96, 1);
    rc |= QB_PrintCharacter(5, 5, 0, 4, 1, 1, 0, "QUILLBAR PARCEL SERVICE");
    rc |= QB_PrintCharacter(5, 10, 0, 2, 1, 1, 1, " PRIORITY ");
    rc |= QB_PrintCharacter(5, 19, 0, 3, 1, 1, 0, "SHIP TO: A. Reader, 12 Harbour Road");
    rc |= QB_PrintBarcode(5, 26, 0, 1, 2, 6, 96, 1, "QB-2026-000142");
    rc |= QB_PrintBarcode(60, 42, 0, 3, 2, 5, 60, 1, "PARCEL7");
    rc |= QB_Print(1);
    if (QB_PortClose() != 0) rc = -1;
    return rc;
}

/* Shows the stream as text, with bytes outside printable ASCII as \xNN. */
static void show(const unsigned char *data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        unsigned char c = data[i];
        if (c == '\n')
            fputs("\\n\n", stdout);
        else if (c >= 0x20 && c < 0x7f)
            putchar(c);
        else
            printf("\\x%02X", c);
    }
}

static int fail_with_error(const char *what) {
    fprintf(stderr, "sample_label: %s failed: error %d\n", what, QB_GetLastErrorCode());
    return 1;
}

int main(int argc, char **argv) {
    if (argc == 3) {
        int port = atoi(argv[1]);
        if (QB_PortSetDevice(port, argv[2]) != 0) return fail_with_error("QB_PortSetDevice");
        if (print_label(port) != 0) return fail_with_error("printing");
        printf("sample label sent to %s\n", argv[2]);
        return 0;
    }
    if (argc != 1) {
        fprintf(stderr, "usage: %s [PORT DEVICE]\n", argv[0]);
        return 2;
    }

    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        perror("sample_label: pseudo-terminal");
        return 1;
    }
    const char *slave = ptsname(master);
    printf("printer stand-in: %s (as COM1)\n", slave);
    if (QB_PortSetDevice(3, slave) != 0) return fail_with_error("QB_PortSetDevice");
    if (print_label(3) != 0) return fail_with_error("printing");

    /* The label is a few hundred bytes: it waits whole in the terminal. */
    static unsigned char stream[65536];
    size_t size = 0;
    struct pollfd pfd = {master, POLLIN, 0};
    while (size < sizeof stream && poll(&pfd, 1, 200) > 0) {
        ssize_t n = read(master, stream + size, sizeof stream - size);
        if (n <= 0) break;
        size += (size_t)n;
    }
    close(master);
    printf("EPL2 stream sent (%zu bytes):\n", size);
    show(stream, size);
    return 0;
}
