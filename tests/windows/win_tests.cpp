// SPDX-License-Identifier: MIT
// The Windows tests, run under Wine: a small self-contained driver that ends
// with "N passed, N failed".
//
//   quillbar_win_tests                     commands on a file port, Chinese text
//                                          through GDI, stored graphics
//   quillbar_win_tests --com1 FILE         every command through COM1 (a
//                                          pseudo-terminal the caller reads);
//                                          FILE gets the bytes expected there
//   quillbar_win_tests --message-boxes     QB_DownPicture's boxes, pressed by a
//                                          thread of ours (needs a display)
//   quillbar_win_tests --sample FILE       a label of Chinese text in every face,
//                                          style and rotation, for a person to
//                                          look at (quillbar-preview FILE)
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "command_table.h"
#include "quillbar.h"

namespace {

int g_passed = 0, g_failed = 0;

void check(bool ok, const std::string &what) {
    if (ok) {
        ++g_passed;
    } else {
        ++g_failed;
        std::printf("FAILED: %s\n", what.c_str());
    }
}

std::string temp_file() {
    char dir[MAX_PATH], path[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    GetTempFileNameA(dir, "qb", 0, path);  // creates it, empty
    return path;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

// What one call sends through LPT1, routed to a fresh file.
std::string sent(const std::function<int()> &call, int *result = nullptr) {
    const std::string capture = temp_file();
    QB_PortSetDevice(1, capture.c_str());
    QB_PortOpen(1, 9600);
    const int rc = call();
    if (result) *result = rc;
    QB_PortClose();
    const std::string data = read_file(capture);
    DeleteFileA(capture.c_str());
    return data;
}

// ---- the shared table, byte for byte -------------------------------------------------------

void commands_on_a_file_port() {
    for (const qbtest::CommandCase &c : qbtest::command_cases()) {
        const int before = QB_GetLastErrorCode();
        int rc = 0;
        const std::string wire = sent(c.call, &rc);
        check(rc == c.result, std::string(c.name) + ": result");
        check(wire == c.wire, std::string(c.name) + ": bytes on the wire");
        check(QB_GetLastErrorCode() == (c.result == 0 ? before : c.error), std::string(c.name) + ": last error");
    }
    // Nothing open: every call that sends fails with the write error.
    QB_PortClose();
    check(QB_SetClear() == -1 && QB_GetLastErrorCode() == ERR_PORT_WRITE, "a command with no port open");
    check(std::string(QB_GetLastError()) == "1002--\xB6\xCB\xBF\xDA\xB4\xF2\xD3\xA1\xB4\xED\xCE\xF3", "the GB2312 text");
    check(QB_PortClose() == -1 && QB_GetLastErrorCode() == ERR_PORT_CLOSE, "closing with nothing open");
    QB_PortSetDevice(1, "C:\\no\\such\\device");
    check(QB_PortOpen(1, 9600) == -1 && QB_GetLastErrorCode() == ERR_PORT_OPEN, "a device that does not open");
    check(std::string(QB_GetLastErrorMessage()).rfind("cannot open C:\\no\\such\\device: ", 0) == 0,
          std::string("the message names the device: ") + QB_GetLastErrorMessage());
    check(QB_PortOpen(5, 9600) == -1 && QB_GetLastErrorCode() == ERR_PARAMETER, "a bad selector");
    check(std::string(QB_GetLastErrorMessage()) == "port 5 is not 1 (LPT1), 2 (LPT2), 3 (COM1) or 4 (COM2)",
          "the message says why the selector is refused");
    check(std::string(QB_GetVersion()) == QUILLBAR_VERSION_STRING, "the library's version is the header's");
    // COM1 routed to a file: no line settings, and the open succeeds.
    const std::string capture = temp_file();
    QB_PortSetDevice(3, capture.c_str());
    check(QB_PortOpen(3, 9600) == 0 && QB_SendCommand("OD") == 0 && QB_PortClose() == 0 && read_file(capture) == "OD\n",
          "COM1 routed to a file opens and prints");
    DeleteFileA(capture.c_str());
    QB_PortSetDevice(3, nullptr);
}

// ---- Chinese text through GDI ------------------------------------------------------------------

struct Gw {
    long row_bytes = -1, rows = -1;
    std::string data;
    bool ink(long x, long y) const {
        return !(static_cast<unsigned char>(data[static_cast<std::size_t>(y * row_bytes + x / 8)]) & (0x80 >> (x % 8)));
    }
    long count() const {
        long n = 0;
        for (long y = 0; y < rows; ++y)
            for (long x = 0; x < row_bytes * 8; ++x) n += ink(x, y);
        return n;
    }
};

Gw parse_gw(const std::string &wire) {
    Gw g;
    long x, y;
    int used = 0;
    if (std::sscanf(wire.c_str(), "GW%ld,%ld,%ld,%ld,%n", &x, &y, &g.row_bytes, &g.rows, &used) == 4)
        g.data = wire.substr(static_cast<std::size_t>(used), static_cast<std::size_t>(g.row_bytes * g.rows));
    return g;
}

Gw chinese(int face, int style, int size, int rotation, const char *text) {
    return parse_gw(sent([&] { return QB_PrintChineseStr(1, 2, face, style, size, rotation, text); }));
}

void chinese_text_through_gdi() {
    const char *text = "\xD6\xD0\xCE\xC4";  // 中文
    // The faces are Chinese ones: GDI picked the GB2312 character set.
    const char *names[] = {"\xBA\xDA\xCC\xE5", "\xCB\xCE\xCC\xE5", "\xBF\xAC\xCC\xE5_GB2312", "\xC1\xA5\xCA\xE9"};
    HDC dc = CreateCompatibleDC(nullptr);
    for (const char *name : names) {
        HFONT font = CreateFontA(24, 12, 0, 0, 400, 0, 0, 0, GB2312_CHARSET, OUT_TT_ONLY_PRECIS, 0, PROOF_QUALITY,
                                 VARIABLE_PITCH | FF_ROMAN, name);
        HGDIOBJ old = SelectObject(dc, font);
        check(GetTextCharset(dc) == GB2312_CHARSET, std::string("face ") + name + " draws GB2312");
        SelectObject(dc, old);
        DeleteObject(font);
    }
    DeleteDC(dc);

    const struct {
        int size, rotation;
        long row_bytes, rows;
    } shapes[] = {{1, 0, 8, 24}, {2, 0, 8, 32}, {3, 0, 12, 40}, {4, 0, 12, 48}, {5, 0, 12, 40},
                  {1, 1, 3, 64}, {1, 3, 3, 64}, {4, 3, 6, 96},  {1, 2, 8, 24},  {1, 7, 8, 24}};
    for (const auto &s : shapes) {
        const std::string what = "size " + std::to_string(s.size) + " rotation " + std::to_string(s.rotation);
        const Gw g = chinese(0, 0, s.size, s.rotation, text);
        check(g.row_bytes == s.row_bytes && g.rows == s.rows, what + ": image size");
        check(g.data.size() == static_cast<std::size_t>(s.row_bytes * s.rows), what + ": image bytes");
        const long ink = g.count();
        check(ink > 30 && ink < s.row_bytes * 8 * s.rows / 2, what + ": legible ink, " + std::to_string(ink) + " dots");
    }
    // Each character inside its own two cells, the image undistorted. GDI may
    // let a glyph's ink run a dot past its advance.
    const Gw spaced = chinese(1, 0, 1, 0, "  \xD6\xD0  ");
    long outside = 0, inside = 0;
    std::string where;
    for (long y = 0; y < spaced.rows; ++y)
        for (long x = 0; x < spaced.row_bytes * 8; ++x) {
            (x >= 31 && x <= 64 ? inside : outside) += spaced.ink(x, y);
            if (spaced.ink(x, y) && (x < 31 || x > 64)) where += " " + std::to_string(x) + ":" + std::to_string(y);
        }
    check(inside > 30 && outside == 0,
          "a character stays in its cells: " + std::to_string(inside) + " in, " + std::to_string(outside) + " out at" + where);
    // Heavier is heavier; the turned image holds the whole text.
    // GDI draws weight 500 as 400 unless the font has a medium weight of its
    // own (it makes bold only from 600 up): never lighter.
    check(chinese(1, 2, 4, 0, text).count() >= chinese(1, 0, 4, 0, text).count(), "weight 500 is never lighter");
    check(chinese(1, 4, 4, 0, text).count() > chinese(1, 0, 4, 0, text).count(), "underline adds ink");
    check(chinese(1, 1, 4, 0, text).data != chinese(1, 0, 4, 0, text).data, "italic differs");
    const long upright = chinese(1, 0, 4, 0, text).count();
    const long turned = chinese(1, 0, 4, 1, text).count();
    check(turned > upright * 7 / 10 && turned < upright * 13 / 10, "the turned text is whole");
    check(sent([] { return QB_PrintChineseStr(0, 0, 0, 0, 1, 0, ""); }) == "GW0,0,,24,\n", "the empty text");
    int rc = 0;
    sent([] { return QB_PrintChineseStr(0, 0, 0, 0, 1, 0, nullptr); }, &rc);
    check(rc == -1 && QB_GetLastErrorCode() == ERR_PARAMETER, "a NULL text is refused");
}

// ---- stored graphics --------------------------------------------------------------------------

std::vector<std::string> g_messages;
void record(const char *text, void *) { g_messages.emplace_back(text); }

void stored_graphics() {
    std::string logo(1000, '\0');
    for (std::size_t i = 0; i < logo.size(); ++i) logo[i] = static_cast<char>((i * 37 + 10) % 256);
    logo[3] = '\0';
    const std::string path = temp_file();
    write_file(path, logo);
    QB_SetMessageHandler(record, nullptr);
    g_messages.clear();
    int rc = 0;
    const std::string wire = sent([&] { return QB_DownPicture(path.c_str(), "LOGO"); }, &rc);
    check(rc == 0, "QB_DownPicture succeeds");
    check(wire == "GK\"LOGO\"\nGM\"LOGO\"1000\n" + logo, "GK, GM and the bare picture on the wire");
    const std::vector<std::string> expected = {path, "filelengh:0--1000", logo.substr(0, 3), "GK\"LOGO\"\n",
                                               "GM\"LOGO\"1000\n"};
    check(g_messages == expected, "the stages, in order, with their texts");
    // Held open by someone else: not shared, so refused, nothing sent.
    HANDLE holder = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    check(sent([&] { return QB_DownPicture(path.c_str(), "LOGO"); }, &rc) == "" && rc == -1, "a file held open elsewhere");
    CloseHandle(holder);
    check(sent([&] { return QB_DownPicture("C:\\no\\such.pcx", "LOGO"); }, &rc) == "" && rc == -1, "a missing file");
    QB_SetMessageHandler(nullptr, nullptr);
    DeleteFileA(path.c_str());
}

// ---- COM1, read on the other side by the caller -------------------------------------------------

int through_com1(const char *expected_file) {
    std::string expected;
    check(QB_PortOpen(3, 19200) == 0, "COM1 opens at 19200");
    for (const qbtest::CommandCase &c : qbtest::command_cases()) {
        if (c.result != 0) continue;
        check(c.call() == 0, std::string("COM1: ") + c.name);
        expected += c.wire;
    }
    check(QB_PrintChineseStr(1, 1, 0, 0, 1, 0, "\xD6\xD0") == 0, "COM1: Chinese text");
    check(QB_PortClose() == 0, "COM1 closes");
    write_file(expected_file, expected);
    return 0;
}

// ---- message boxes, pressed by a thread of ours --------------------------------------------------

int message_boxes() {
    const std::string path = temp_file();
    write_file(path, "PCXDATA");
    std::atomic<bool> done{false};
    std::atomic<int> pressed{0};
    std::thread presser([&] {
        while (!done) {
            if (HWND box = FindWindowA("#32770", "quillbar")) {
                SendMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
                ++pressed;
                Sleep(50);
            }
            Sleep(20);
        }
    });
    int rc = 0;
    const std::string wire = sent([&] { return QB_DownPicture(path.c_str(), "LOGO"); }, &rc);
    done = true;
    presser.join();
    check(rc == 0, "QB_DownPicture with message boxes succeeds");
    check(pressed == 5, "five boxes shown and acknowledged, " + std::to_string(pressed.load()) + " seen");
    check(wire == "GK\"LOGO\"\nGM\"LOGO\"7\nPCXDATA", "the picture went out after the boxes");
    DeleteFileA(path.c_str());
    return 0;
}

// ---- printer handles ------------------------------------------------------------------------

void printer_handles() {
    const std::string a_path = temp_file(), b_path = temp_file();
    QB_Printer *a = QB_PrinterOpen(a_path.c_str(), 9600);
    QB_Printer *b = QB_PrinterOpen(b_path.c_str(), 0);
    check(a && b, "two printers open on two files");
    check(QB_PrinterSendCommand(a, "FOR_A") == 0 && QB_PrinterPrintLine(b, 1, 2, 3, 4) == 0, "each takes its lines");
    check(QB_PrinterSetDarkness(b, 16) == -1 && QB_PrinterGetLastErrorCode(b) == ERR_PARAMETER &&
              QB_PrinterGetLastErrorCode(a) == 0,
          "each has its own last error");
    check(std::string(QB_PrinterGetLastErrorMessage(b)) == "darkness 16 is outside 0..15", "the handle's message");
    check(QB_PrinterPrintBarcodeByName(b, 5, 10, 0, "EAN-13", 0, 0, 15, 1, "501234567890") == 0, "a bar code by name");
    check(QB_PrinterStatus(a, 5000) == QB_STATUS_UNKNOWN, "a file cannot answer");
    check(QB_PrinterClose(a) == 0 && QB_PrinterClose(b) == 0, "both close");
    check(read_file(a_path) == "FOR_A\n", "A's bytes");
    check(read_file(b_path) == "LO8,16,24,32\nB40,80,0,E30,2,2,120,B,\"501234567890\"\n", "B's bytes");
    check(QB_PrinterSetClear(a) == -1 && QB_GetLastErrorCode() == ERR_PARAMETER, "a closed handle is refused");
    check(QB_PrinterOpen("C:\\no\\such\\device", 9600) == nullptr && QB_GetLastErrorCode() == ERR_PORT_OPEN,
          "a device that does not open gives no handle");
    DeleteFileA(a_path.c_str());
    DeleteFileA(b_path.c_str());
}

// ---- installed printers (queue_check.py: a CUPS queue Wine maps to a Windows printer) ----

bool label_on(QB_Printer *p, const char *id) {
    return p && QB_PrinterSetClear(p) == 0 && QB_PrinterPrintCharacter(p, 1, 1, 0, 2, 1, 1, 0, id) == 0 &&
           QB_PrinterPrint(p, 1) == 0;
}

void installed_printer(const std::string &queue) {
    const int needed = QB_PrinterList(nullptr, 0);
    std::string names(needed > 0 ? static_cast<std::size_t>(needed) : 0, '\0');
    check(needed > 0 && QB_PrinterList(&names[0], names.size()) == needed, "the printers are listed");
    check(names.find("printer:" + queue + std::string(1, '\0')) != std::string::npos, "the queue is listed: " + names);

    QB_Printer *p = QB_PrinterOpen(("printer:" + queue).c_str(), 9600);
    check(p != nullptr, std::string("printer:") + queue + " opens: " + QB_GetLastErrorMessage());
    check(label_on(p, "WINE-HANDLE"), std::string("a label through the handle: ") + QB_PrinterGetLastErrorMessage(p));
    check(QB_PrinterClose(p) == 0, "the handle closes");

    check(QB_PortSetDevice(1, ("printer:" + queue).c_str()) == 0 && QB_PortOpen(1, 9600) == 0, "LPT1 routed to it opens");
    check(QB_SetClear() == 0 && QB_PrintCharacter(1, 1, 0, 2, 1, 1, 0, "WINE-FLAT") == 0 && QB_Print(1) == 0,
          std::string("a label through the flat API: ") + QB_GetLastErrorMessage());
    check(QB_PortClose() == 0, "LPT1 closes");
    QB_PortSetDevice(1, nullptr);

    QB_Printer *fallback = QB_PrinterOpen("printer:", 9600);
    check(fallback != nullptr, std::string("the default printer opens: ") + QB_GetLastErrorMessage());
    check(label_on(fallback, "WINE-DEFAULT"), "a label to the default printer");
    QB_PrinterClose(fallback);

    check(QB_PrinterOpen("printer:no such printer", 9600) == nullptr && QB_GetLastErrorCode() == ERR_PORT_OPEN &&
              std::string(QB_GetLastErrorMessage()).find("no such printer") != std::string::npos,
          std::string("a missing queue: ") + QB_GetLastErrorMessage());
}

void sample(const char *file) {
    write_file(file, "");
    QB_PortSetDevice(1, file);
    QB_PortOpen(1, 9600);
    QB_SetPaperSize(0, 100, 60, 3);
    QB_SetClear();
    const char *text = "\xD6\xD0\xCE\xC4\xB1\xEA\xC7\xA9 Ag";  // 中文标签 Ag
    for (int face = 0; face < 4; ++face) QB_PrintChineseStr(2, 2 + face * 7, face, 0, 4, 0, text);
    for (int style = 1; style <= 6; ++style) QB_PrintChineseStr(40, 2 + (style - 1) * 5, 1, style, 2, 0, text);
    for (int rotation = 1; rotation <= 3; ++rotation) QB_PrintChineseStr(56 + rotation * 9, 32, 0, 0, 1, rotation, "\xD6\xD0\xCE\xC4");
    QB_Print(1);
    QB_PortClose();
}

}  // namespace

int main(int argc, char **argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "--com1" && argc > 2)
        through_com1(argv[2]);
    else if (mode == "--message-boxes")
        message_boxes();
    else if (mode == "--sample" && argc > 2) {
        sample(argv[2]);  // a picture to look at, not a test
        std::printf("sample written to %s\n", argv[2]);
        return 0;
    }
    else if (mode == "--queue" && argc > 2)
        installed_printer(argv[2]);
    else {
        commands_on_a_file_port();
        chinese_text_through_gdi();
        stored_graphics();
        printer_handles();
    }
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
