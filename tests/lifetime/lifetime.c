/* SPDX-License-Identifier: MIT
 * The library at the end of a process: a program that prints from an atexit
 * handler, after static destructors have run, and one that unloads the
 * library with a port open and finds the port still held.
 *
 *   lifetime atexit CAPTURE           prints from an atexit handler
 *   lifetime_dl dlclose LIBRARY FILE  opens FILE as a port, unloads the
 *                                     library (built without linking it) */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include "quillbar.h"


static int file_is(const char *path, const char *want, size_t size) {
    char got[256];
    FILE *f = fopen(path, "rb");
    if (!f) return 0;
    const size_t n = fread(got, 1, sizeof got, f);
    fclose(f);
    return n == size && memcmp(got, want, size) == 0;
}

#ifndef LIFETIME_DLOPEN_ONLY
static const char *g_capture;

/* Registered before the library is first used, so it runs after every
 * destructor the library's first use could have registered. */
static void print_at_exit(void) {
    if (QB_SetClear() != 0 || QB_PrintChineseStr(0, 0, 1, 0, 1, 0, "A") != 0 || QB_Print(1) != 0 ||
        QB_PortClose() != 0) {
        fprintf(stderr, "at exit: %s\n", QB_GetLastErrorMessage());
        _exit(2);
    }
    FILE *f = fopen(g_capture, "rb");
    char head[32] = {0};
    if (!f || fread(head, 1, 15, f) != 15 || strncmp(head, "N\nGW0,0,2,24,", 13) != 0) _exit(3);
    fclose(f);
}

static int at_exit_mode(const char *capture) {
    g_capture = capture;
    atexit(print_at_exit);
    if (QB_PortSetDevice(1, capture) != 0 || QB_PortOpen(1, 9600) != 0) return 1;
    /* Glyphs cached now are used again at exit. */
    return QB_PrintChineseStr(0, 0, 1, 0, 1, 0, "A") == 0 && ftruncate(open(capture, O_WRONLY), 0) == 0 ? 0 : 1;
}

#endif

typedef int (*SetDevice)(int, const char *);
typedef int (*Open)(int, int);
typedef int (*Command)(const char *);

static int dlclose_mode(const char *library, const char *file) {
    void *handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (!handle) return 1;
    SetDevice set_device = (SetDevice)dlsym(handle, "QB_PortSetDevice");
    Open open_port = (Open)dlsym(handle, "QB_PortOpen");
    Command command = (Command)dlsym(handle, "QB_SendCommand");
    if (!set_device || !open_port || !command) return 1;
    if (set_device(1, file) != 0 || open_port(1, 9600) != 0 || command("N") != 0) return 1;
    if (dlclose(handle) != 0) return 1;
    /* It really went: nothing else holds it. */
    void *still = dlopen(library, RTLD_NOW | RTLD_NOLOAD);
    if (still) return 6;
    /* The port is still ours: nobody else may lock it. */
    const int other = open(file, O_WRONLY);
    if (other < 0 || flock(other, LOCK_EX | LOCK_NB) == 0) return 4;
    close(other);
    return file_is(file, "N\n", 2) ? 0 : 5;
}

int main(int argc, char **argv) {
#ifndef LIFETIME_DLOPEN_ONLY
    if (argc == 3 && strcmp(argv[1], "atexit") == 0) return at_exit_mode(argv[2]);
#endif
    if (argc == 4 && strcmp(argv[1], "dlclose") == 0) return dlclose_mode(argv[2], argv[3]);
    fprintf(stderr, "usage: lifetime atexit CAPTURE | lifetime dlclose LIBRARY FILE\n");
    return 64;
}
