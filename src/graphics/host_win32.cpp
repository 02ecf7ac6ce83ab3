// SPDX-License-Identifier: MIT
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "graphics/host.h"

namespace quillbar {

std::optional<std::vector<unsigned char>> read_picture_file(const char *path, std::string &error) {
    // Read access, not shared with any other opener, existing files only.
    HANDLE file = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        error = std::string("cannot read the picture ") + path +
                (code == ERROR_SHARING_VIOLATION ? ": it is in use by another program" : ": error " + std::to_string(code));
        return std::nullopt;
    }
    LARGE_INTEGER size{};
    std::optional<std::vector<unsigned char>> data;
    if (GetFileSizeEx(file, &size) && size.QuadPart >= 0) {
        std::vector<unsigned char> bytes(static_cast<std::size_t>(size.QuadPart) + 1);
        std::size_t got = 0;
        for (;;) {
            if (got == bytes.size()) bytes.resize(bytes.size() * 2);  // it grew since
            DWORD n = 0;
            const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - got, 1u << 30));
            if (!ReadFile(file, bytes.data() + got, ask, &n, nullptr)) {
                got = SIZE_MAX;
                break;
            }
            if (n == 0) break;
            got += n;
        }
        if (got != SIZE_MAX) {
            bytes.resize(got);
            data = std::move(bytes);
        }
    }
    CloseHandle(file);
    if (!data) error = std::string("cannot read the picture ") + path;
    return data;
}

void show_message_box(const std::string &text) { MessageBoxA(nullptr, text.c_str(), "quillbar", MB_OK); }

}  // namespace quillbar
