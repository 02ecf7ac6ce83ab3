/* SPDX-License-Identifier: MIT */
/*
 * Prints a sample shipping label: a frame, rules, printer-font text, a Code
 * 128 and a Code 39 bar code, Chinese text in the four faces, and a logo
 * stored in the printer.
 *
 *   sample_label                 print to a pseudo-terminal made for the run
 *                                (as COM1) and show the EPL2 stream it sent
 *   sample_label PORT DEVICE     print through port PORT (1 LPT1, 2 LPT2,
 *                                3 COM1, 4 COM2) routed to DEVICE, e.g.
 *                                "3 /dev/ttyUSB0" or "1 /dev/usb/lp0"
 *
 * It uses the public header only.
 */
#define _XOPEN_SOURCE 600
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "quillbar.h"

enum { LOGO_SIZE = 64 };

/* The logo: a ring with a quill stroke through it, black on white. */
static int logo_dot(int x, int y) {
    const int dx = x - 30, dy = y - 30, r2 = dx * dx + dy * dy;
    const int ring = r2 >= 20 * 20 && r2 <= 28 * 28;
    const int stroke = abs((x - 8) - (y - 8)) <= 2 && x >= 22 && x <= 60;
    return ring || stroke;
}

/* Writes the logo as a 1-bit PCX file, the format EPL2 printers store. Its
 * run-length coding needs a count byte only before bytes of 0xC0 and up. */
static int write_logo(const char *path) {
    unsigned char header[128] = {0};
    const unsigned line = LOGO_SIZE / 8;
    FILE *f = fopen(path, "wb");
    if (!f) return -1;
    header[0] = 0x0A;                                  /* PCX */
    header[1] = 5;                                     /* version */
    header[2] = 1;                                     /* run-length coded */
    header[3] = 1;                                     /* bits per pixel */
    header[8] = header[10] = LOGO_SIZE - 1;            /* Xmax, Ymax */
    header[19] = header[20] = header[21] = 0xFF;       /* palette: 0 black, 1 white */
    header[65] = 1;                                    /* planes */
    header[66] = (unsigned char)line;                  /* bytes per line */
    fwrite(header, 1, sizeof header, f);
    for (int y = 0; y < LOGO_SIZE; ++y)
        for (unsigned b = 0; b < line; ++b) {
            unsigned char byte = 0xFF; /* a 0 bit is black */
            for (int bit = 0; bit < 8; ++bit)
                if (logo_dot((int)b * 8 + bit, y)) byte &= (unsigned char)~(0x80 >> bit);
            if (byte >= 0xC0) fputc(0xC1, f);
            fputc(byte, f);
        }
    return fclose(f) == 0 ? 0 : -1;
}

static int print_label(int port) {
    char logo[] = "/tmp/quillbar-logo-XXXXXX";
    int fd = mkstemp(logo);
    if (fd < 0) return -1;
    close(fd);
    if (write_logo(logo) != 0 || QB_PortOpen(port, 9600) != 0) {
        unlink(logo);
        return -1;
    }
    int rc = 0;
    rc |= QB_SetInitialize(3, 10, 1);
    rc |= QB_SetPaperSize(0, 100, 60, 3);
    rc |= QB_DownPicture(logo, "LOGO");
    unlink(logo);
    rc |= QB_SetClear();
    rc |= QB_PrintBox(2, 2, 98, 58, 1);
    rc |= QB_PrintMemGraphics(4, 4, "LOGO");
    rc |= QB_PrintCharacter(14, 5, 0, 4, 1, 1, 0, "QUILLBAR PARCEL SERVICE");
    rc |= QB_PrintCharacter(14, 10, 0, 2, 1, 1, 1, " PRIORITY ");
    rc |= QB_PrintLine(2, 14, 96, 1);
    rc |= QB_PrintCharacter(5, 17, 0, 3, 1, 1, 0, "SHIP TO: A. Reader, 12 Harbour Road");
    /* 收件人：张三 (recipient: Zhang San) in Hei, then each face's own name in it */
    rc |= QB_PrintChineseStr(5, 21, 0, 0, 2, 0, "\xCA\xD5\xBC\xFE\xC8\xCB\xA3\xBA\xD5\xC5\xC8\xFD");
    rc |= QB_PrintChineseStr(60, 21, 0, 0, 1, 0, "\xBA\xDA\xCC\xE5");  /* 黑体 */
    rc |= QB_PrintChineseStr(70, 21, 1, 0, 1, 0, "\xCB\xCE\xCC\xE5");  /* 宋体 */
    rc |= QB_PrintChineseStr(80, 21, 2, 0, 1, 0, "\xBF\xAC\xCC\xE5");  /* 楷体 */
    rc |= QB_PrintChineseStr(90, 19, 3, 0, 1, 3, "\xC1\xA5\xCA\xE9");  /* 隶书, reading downwards */
    rc |= QB_PrintBarcode(5, 28, 0, 1, 2, 6, 96, 1, "QB-2026-000142");
    rc |= QB_PrintBarcode(55, 42, 0, 3, 2, 5, 60, 1, "PARCEL7");
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
    fprintf(stderr, "sample_label: %s failed: %s (error %d)\n", what, QB_GetLastErrorMessage(), QB_GetLastErrorCode());
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

    /* The label is a few kilobytes: it waits whole in the terminal. */
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
