/* SPDX-License-Identifier: MIT */
/* A program that prints Chinese text once, through the shared library: every
 * face, style, size and rotation, to OUT. It then says whether FreeType was
 * opened ("freetype 0" or "freetype 1") and whether the GBK converter was
 * (" gbk 0" or " gbk 1"): glyphs and characters an earlier process drew and
 * decoded come from the store beside the face memory without either.
 * Usage: chinese_once OUT */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

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
    /* iconv loads its GBK module when the converter is opened. */
    char line[512];
    int gbk = 0;
    FILE *maps = fopen("/proc/self/maps", "r");
    while (maps && fgets(line, sizeof line, maps))
        if (strstr(line, "gconv/GBK.so")) gbk = 1;
    if (maps) fclose(maps);
    printf("freetype %d gbk %d\n", dlopen("libfreetype.so.6", RTLD_NOW | RTLD_NOLOAD) != NULL, gbk);
    return rc != 0;
}
