/* SPDX-License-Identifier: MIT */
/* A program that prints Chinese text once, through the shared library: every
 * face, style, size and rotation, to OUT. It then says whether FreeType was
 * opened ("freetype 0" or "freetype 1"): glyphs an earlier process drew come
 * from the store beside the face memory without it.
 * Usage: chinese_once OUT */
#include <dlfcn.h>
#include <stdio.h>

#include "quillbar.h"

int main(int argc, char **argv) {
    static const char text[] = "\xD6\xD0\xCE\xC4 A1\xA3\xAC"; /* 中文 A1， */
    int rc = 0;
    if (argc != 2) return 2;
    QB_PortSetDevice(1, argv[1]);
    if (QB_PortOpen(1, 9600) != 0) return 1;
    for (int face = 0; face < 4; ++face)
        for (int style = 0; style <= 6; ++style)
            for (int size = 1; size <= 4; ++size)
                for (int rotation = 0; rotation < 4; ++rotation)
                    rc |= QB_PrintChineseStr(10, 20, face, style, size, rotation, text);
    QB_PortClose();
    printf("freetype %d\n", dlopen("libfreetype.so.6", RTLD_NOW | RTLD_NOLOAD) != NULL);
    return rc != 0;
}
