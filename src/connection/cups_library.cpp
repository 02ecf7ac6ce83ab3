// SPDX-License-Identifier: MIT
#include "connection/device.h"

#if QUILLBAR_HAVE_CUPS
#include "connection/cups_library.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "connection/lasting.h"

namespace quillbar {
namespace {

constexpr const char *kCupsSoname = "libcups.so.2";

struct CupsLoader {
    std::mutex lock;
    std::string soname = kCupsSoname;
    std::string loaded_from;
    std::atomic<const CupsLibrary *> loaded{nullptr};
};

CupsLoader &cups_loader() { return lasting<CupsLoader>(); }

}  // namespace

const CupsLibrary *load_cups(std::string &error) {
    CupsLoader &l = cups_loader();
    std::lock_guard<std::mutex> hold(l.lock);
    if (l.loaded.load() && l.loaded_from == l.soname) return l.loaded.load();
    std::unique_ptr<CupsLibrary> library = load_late<CupsLibrary>(
        l.soname, "print-server routes", "libcups", "libcups2",
        [](void *handle, CupsLibrary &table, const char *&missing) { QB_CUPS_FUNCTIONS(QB_LATE_RESOLVE) }, error);
    if (!library) return nullptr;
    l.loaded_from = l.soname;
    l.loaded.store(library.release());  // kept, as the library stays loaded, for the life of the process
    return l.loaded.load();
}

const CupsLibrary &cups() { return *cups_loader().loaded.load(); }

void set_print_server_library(const std::string &soname) {
    CupsLoader &l = cups_loader();
    std::lock_guard<std::mutex> hold(l.lock);
    l.soname = soname.empty() ? kCupsSoname : soname;
}

}  // namespace quillbar

#endif
