// SPDX-License-Identifier: MIT
#include "label/freetype_library.h"

#include <atomic>
#include <string>

namespace quillbar {
namespace {

std::atomic<const FreeTypeLibrary *> g_freetype{nullptr};

}  // namespace

bool load_freetype() {
    std::string error;
    const FreeTypeLibrary *loaded = load_late_once<FreeTypeLibrary>(
        "libfreetype.so.6", "Chinese text", "FreeType", "libfreetype6",
        [](void *handle, FreeTypeLibrary &table, const char *&missing) { QB_FT_FUNCTIONS(QB_LATE_RESOLVE) }, error);
    g_freetype.store(loaded, std::memory_order_release);
    return loaded != nullptr;
}

const FreeTypeLibrary &ft() { return *g_freetype.load(std::memory_order_acquire); }

}  // namespace quillbar
