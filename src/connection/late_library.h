// SPDX-License-Identifier: MIT
// A shared library opened by its SONAME when it is first needed, rather
// than linked: a program that never needs it never maps it, nor the
// libraries under it, at start-up. Its functions are listed once, in an X
// macro, as a table of pointers that keep their own types:
//
//   #define FUNCTIONS(X) X(cupsServer) X(ippDelete)
//   struct Cups { FUNCTIONS(QB_LATE_POINTER) };
//   load_late<Cups>(soname, ..., [](void *handle, Cups &table, const char *&missing) {
//       FUNCTIONS(QB_LATE_RESOLVE) }, error);
#pragma once

#include <dlfcn.h>

#include <memory>
#include <mutex>
#include <string>

#define QB_LATE_POINTER(name) decltype(&::name) name = nullptr;
#define QB_LATE_RESOLVE(name)                                                   \
    table.name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name)); \
    if (!table.name && !missing) missing = #name;

namespace quillbar {

// Opens soname and resolves the table's functions through resolve(handle,
// table, missing). Null when either fails, with error saying what needs the
// library and how to install it. The library stays loaded for the life of
// the process.
template <typename Table, typename Resolve>
std::unique_ptr<Table> load_late(const std::string &soname, const char *needed_for, const char *library,
                                 const char *package, Resolve resolve, std::string &error) {
    void *handle = ::dlopen(soname.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *why = ::dlerror();
        error = std::string(needed_for) + " need " + library + " (" + soname + "), which cannot be loaded: " +
                (why ? why : "no reason given") + " (Debian: apt install " + package + ")";
        return nullptr;
    }
    auto table = std::make_unique<Table>();
    const char *missing = nullptr;
    resolve(handle, *table, missing);
    if (missing) {
        ::dlclose(handle);
        error = soname + " is too old for " + needed_for + ": it has no " + missing;
        return nullptr;
    }
    return table;
}

// load_late, once for the life of the process: the first call decides, and
// every call gets its table, or null with the reason. (Each call site's
// resolve is a type of its own, so each has its own once.)
template <typename Table, typename Resolve>
const Table *load_late_once(const char *soname, const char *needed_for, const char *library, const char *package,
                            Resolve resolve, std::string &error) {
    static std::once_flag once;
    static const Table *table = nullptr;
    static std::string why;
    std::call_once(once, [&] {
        // Kept, as the library stays loaded, for the life of the process.
        table = load_late<Table>(soname, needed_for, library, package, resolve, why).release();
    });
    error = why;
    return table;
}

}  // namespace quillbar
