// SPDX-License-Identifier: MIT
// Run with a fontconfig that knows no fonts: Chinese text still goes out as a
// correct GW graphic, blank but for its underline.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "gw_image.h"
#include "quillbar.h"

int main() {
    char path[] = "/tmp/quillbar-nofonts-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return 1;
    close(fd);
    const bool sent = QB_PortSetDevice(1, path) == 0 && QB_PortOpen(1, 9600) == 0 &&
                      QB_PrintChineseStr(10, 20, 0, 6, 1, 0, "\xD6\xD0\xCE\xC4") == 0 && QB_PortClose() == 0;
    std::ifstream in(path, std::ios::binary);
    std::ostringstream stream;
    stream << in.rdbuf();
    unlink(path);
    const std::string wire = stream.str();
    const auto images = quillbar::tools::find_gw(wire);
    bool blank = images.size() == 1;
    for (long y = 0; blank && y < images[0].rows; ++y)
        for (long x = 0; x < images[0].width(); ++x)
            if (images[0].ink(x, y) && y < 20) blank = false;  // only the underline may show
    const bool ok = sent && wire.rfind("GW80,160,8,24,", 0) == 0 && wire.size() == 14 + 192 + 1 && blank;
    std::printf("%s\n", ok ? "blank image sent" : "FAILED: wrong image without fonts");
    return ok ? 0 : 1;
}
