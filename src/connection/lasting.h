// SPDX-License-Identifier: MIT
// State that lives as long as the process and is never destroyed: at exit,
// exports called from atexit handlers and other static destructors still find
// it, and unloading the library leaves an open port as it is.
#pragma once

#include <new>

namespace quillbar {

template <class T>
T &lasting() {
    static T *const object = new T();
    return *object;
}

}  // namespace quillbar
