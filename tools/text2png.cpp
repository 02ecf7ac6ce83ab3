// SPDX-License-Identifier: MIT
// quillbar-text2png: shows what QB_PrintChineseStr sends to the printer.
//
// TEXT is UTF-8 (as typed in a terminal) and is turned into GBK, the library's
// text encoding. The call's GW graphic is captured from a file standing in
// for the printer and written as a PNG, black on white.
//
// Exit status, as quillbar-preview's: 0, 1 for a usage or file error, 2 when
// the input was refused (the library refuses the text, or it is empty).
#include <getopt.h>
#include <iconv.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "cli.h"
#include "gw_image.h"
#include "quillbar.h"

namespace {

constexpr const char *kProgram = "quillbar-text2png";

bool to_gbk(const std::string &utf8, std::string &gbk) {
    iconv_t cd = iconv_open("GBK", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::string in = utf8;
    gbk.assign(in.size() * 2 + 4, '\0');
    char *ip = in.data(), *op = gbk.data();
    std::size_t il = in.size(), ol = gbk.size();
    const bool ok = iconv(cd, &ip, &il, &op, &ol) != static_cast<std::size_t>(-1);
    iconv_close(cd);
    gbk.resize(gbk.size() - ol);
    return ok;
}

void usage(FILE *to) {
    std::fprintf(to,
                 "usage: %s [OPTION]... TEXT OUT.png\n"
                 "Draw TEXT (UTF-8) as QB_PrintChineseStr sends it to the printer, and write the picture.\n"
                 "\n"
                 "  -f, --face N       0 Hei, 1 Song (default), 2 Kai, 3 Li\n"
                 "  -s, --style N      0 plain (default), 1 italic, 2 heavier, 3 heavier italic,\n"
                 "                     4 underlined, 5 italic underlined, 6 heavier underlined\n"
                 "  -z, --size N       cell 16x24 (1), 16x32 (2), 24x40 (3, default), 24x48 (4)\n"
                 "  -r, --rotation N   0 none (default), 1 reading upwards, 2 upside down, 3 reading downwards\n"
                 "  -x, --scale N      each dot as N x N pixels, 1 to 32 (default 4); in\n"
                 "                     quillbar-preview -s is --scale\n"
                 "  -h, --help         show this help and exit\n"
                 "  -V, --version      show the version and exit\n"
                 "\n"
                 "Exit status: 0 on success, 1 for a usage error or a file that cannot be written,\n"
                 "2 when the text is refused.\n",
                 kProgram);
}

}  // namespace

int main(int argc, char **argv) {
    static const option kOptions[] = {
        {"face", required_argument, nullptr, 'f'},   {"style", required_argument, nullptr, 's'},
        {"size", required_argument, nullptr, 'z'},   {"rotation", required_argument, nullptr, 'r'},
        {"scale", required_argument, nullptr, 'x'},  {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},      {nullptr, 0, nullptr, 0},
    };
    long face = 1, style = 0, size = 3, rotation = 0, scale = 4;
    for (int c; (c = getopt_long(argc, argv, "f:s:z:r:x:hV", kOptions, nullptr)) != -1;) {
        bool ok = true;
        using quillbar::tools::parse_number;
        switch (c) {
        case 'f': ok = parse_number(kProgram, "--face", optarg, 0, 3, face); break;
        case 's': ok = parse_number(kProgram, "--style", optarg, 0, 6, style); break;
        case 'z': ok = parse_number(kProgram, "--size", optarg, 1, 4, size); break;
        case 'r': ok = parse_number(kProgram, "--rotation", optarg, 0, 3, rotation); break;
        case 'x': ok = parse_number(kProgram, "--scale", optarg, 1, 32, scale); break;
        case 'h': usage(stdout); return 0;
        case 'V': quillbar::tools::print_version(kProgram, QB_GetVersion()); return 0;
        default: ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "Try '%s --help' for more information.\n", kProgram);
            return 1;
        }
    }
    if (argc - optind != 2) {
        std::fprintf(stderr, "%s: give the text and the picture to write\nTry '%s --help' for more information.\n",
                     kProgram, kProgram);
        return 1;
    }
    const char *output = argv[optind + 1];
    std::string text;
    if (!to_gbk(argv[optind], text)) {
        std::fprintf(stderr, "%s: the text is not UTF-8, or has characters GBK cannot hold\n", kProgram);
        return 2;
    }

    std::string capture = "/tmp/quillbar-text2png-XXXXXX";
    if (const char *tmp = std::getenv("TMPDIR")) capture = std::string(tmp) + "/quillbar-text2png-XXXXXX";
    const int fd = mkstemp(capture.data());
    if (fd < 0) {
        std::fprintf(stderr, "%s: cannot make a capture file %s: %s\n", kProgram, capture.c_str(), std::strerror(errno));
        return 1;
    }
    close(fd);
    const int rc = QB_PortSetDevice(1, capture.c_str()) || QB_PortOpen(1, 9600) ||
                   QB_PrintChineseStr(0, 0, static_cast<int>(face), static_cast<int>(style), static_cast<int>(size),
                                      static_cast<int>(rotation), text.c_str());
    const std::string why = QB_GetLastErrorMessage();
    QB_PortClose();
    std::ifstream in(capture, std::ios::binary);
    std::ostringstream stream;
    stream << in.rdbuf();
    unlink(capture.c_str());
    if (rc != 0) {
        std::fprintf(stderr, "%s: %s\n", kProgram, why.c_str());
        return QB_GetLastErrorCode() == QB_ERR_PARAMETER ? 2 : 1;
    }
    const auto images = quillbar::tools::find_gw(stream.str());
    if (images.empty() || images[0].width() == 0 || images[0].rows == 0) {
        std::fprintf(stderr, "%s: the text is empty: there is no picture to write\n", kProgram);
        return 2;
    }
    errno = 0;
    if (!quillbar::tools::write_png(output, images[0], static_cast<int>(scale))) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", kProgram, output,
                     errno ? std::strerror(errno) : "the PNG could not be made");
        return 1;
    }
    std::printf("%s: %ld x %ld dots\n", output, images[0].width(), images[0].rows);
    return 0;
}
