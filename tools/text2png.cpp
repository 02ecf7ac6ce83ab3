// quillbar-text2png: shows what QB_PrintChineseStr sends to the printer.
//
//   quillbar-text2png [--face N] [--style N] [--size N] [--rotation N]
//                     [--scale N] TEXT OUT.png
//
// TEXT is UTF-8 (as typed in a terminal) and is turned into GBK, the library's
// text encoding. The call's GW graphic is captured from a file standing in
// for the printer and written as a PNG, black on white.
#include <iconv.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "gw_image.h"
#include "quillbar.h"

namespace {

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

int usage() {
    std::fprintf(stderr,
                 "usage: quillbar-text2png [--face N] [--style N] [--size N] [--rotation N] [--scale N] TEXT OUT.png\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    std::map<std::string, int> options = {{"--face", 1}, {"--style", 0}, {"--size", 3}, {"--rotation", 0}, {"--scale", 4}};
    int i = 1;
    for (; i + 1 < argc && options.count(argv[i]); i += 2) options[argv[i]] = std::atoi(argv[i + 1]);
    if (argc - i != 2) return usage();
    std::string text;
    if (!to_gbk(argv[i], text)) {
        std::fprintf(stderr, "quillbar-text2png: the text has characters GBK cannot hold\n");
        return 1;
    }

    char capture[] = "/tmp/quillbar-text2png-XXXXXX";
    const int fd = mkstemp(capture);
    if (fd < 0) return 1;
    close(fd);
    int rc = QB_PortSetDevice(1, capture) || QB_PortOpen(1, 9600) ||
             QB_PrintChineseStr(0, 0, options["--face"], options["--style"], options["--size"], options["--rotation"],
                                text.c_str()) ||
             QB_PortClose();
    std::ifstream in(capture, std::ios::binary);
    std::ostringstream stream;
    stream << in.rdbuf();
    unlink(capture);
    if (rc != 0) {
        std::fprintf(stderr, "quillbar-text2png: failed: %d\n", QB_GetLastErrorCode());
        return 1;
    }
    const auto images = quillbar::tools::find_gw(stream.str());
    if (images.empty() || !quillbar::tools::write_png(argv[i + 1], images[0], options["--scale"])) {
        std::fprintf(stderr, "quillbar-text2png: no picture to write (empty text?)\n");
        return 1;
    }
    std::printf("%s: %ld x %ld dots\n", argv[i + 1], images[0].width(), images[0].rows);
    return 0;
}
