// SPDX-License-Identifier: MIT
// quillbar-preview hands --http over to quillbar-preview-web: the same
// program built with the C++ runtime shared, which the Prometheus client
// library needs, so that rendering from the command line keeps its own
// runtime and its quick start.
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "preview_tool.h"

namespace quillbar::tool {

void run_web_program(char *const *argv) {
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return;
    std::string dir(self, static_cast<std::size_t>(length));
    dir.erase(dir.rfind('/'));
    // Beside this program in a build tree; where it is installed otherwise.
    std::string why = "not found";
    const std::string beside = dir + "/quillbar-preview-web";
    const std::string installed = dir + "/" QUILLBAR_WEB_FROM_BIN "/quillbar-preview-web";
    for (const std::string &where : {beside, installed}) {
        if (access(where.c_str(), F_OK) != 0) continue;
        execv(where.c_str(), argv);
        why = where + ": " + std::strerror(errno);
    }
    std::fprintf(stderr, "%s: serving without /metrics: quillbar-preview-web: %s\n", kProgram, why.c_str());
}

}  // namespace quillbar::tool
