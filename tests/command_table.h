// SPDX-License-Identifier: MIT
// The command exports' table: each call, what it returns, and the exact
// bytes on the wire. Shared by the Linux tests and the Windows test driver,
// so both platforms answer to the same expectations.
#pragma once

#include <climits>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "quillbar.h"

namespace qbtest {

struct CommandCase {
    const char *name;
    std::function<int()> call;
    int result;         // 0 or -1
    std::string wire;   // exactly what reaches the printer
    int error;          // the code a failing call stores
};

// How a test framework names a row.
inline void PrintTo(const CommandCase &c, std::ostream *os) { *os << c.name; }

// Each row: a call, what it returns, and the bytes on the wire.
inline const std::vector<CommandCase> &command_cases() {
    static const std::vector<CommandCase> cases = {
        {"com_speed_9600", [] { return QB_SetPrinterComSpeed(1); }, 0, "Y96,N,8,1\n", 0},
        {"com_speed_19200", [] { return QB_SetPrinterComSpeed(2); }, 0, "Y19,N,8,1\n", 0},
        {"com_speed_38400", [] { return QB_SetPrinterComSpeed(3); }, 0, "Y38,N,8,1\n", 0},
        {"com_speed_0", [] { return QB_SetPrinterComSpeed(0); }, -1, "", ERR_PARAMETER},
        {"com_speed_4", [] { return QB_SetPrinterComSpeed(4); }, -1, "", ERR_PARAMETER},
        {"com_dots", [] { return QB_SetPrinterComDots(12345); }, 0, "", 0},
        {"darkness_0", [] { return QB_SetDarkness(0); }, 0, "D0\n", 0},
        {"darkness_15", [] { return QB_SetDarkness(15); }, 0, "D15\n", 0},
        {"darkness_16", [] { return QB_SetDarkness(16); }, -1, "", ERR_PARAMETER},
        {"darkness_minus_1", [] { return QB_SetDarkness(-1); }, -1, "", ERR_PARAMETER},
        {"speed_1", [] { return QB_SetPrintSpeed(1); }, 0, "S1\n", 0},
        {"speed_4", [] { return QB_SetPrintSpeed(4); }, 0, "S4\n", 0},
        {"speed_0", [] { return QB_SetPrintSpeed(0); }, -1, "", ERR_PARAMETER},
        {"speed_5", [] { return QB_SetPrintSpeed(5); }, -1, "", ERR_PARAMETER},
        {"xy", [] { return QB_SetPrintXY(2, 3); }, 0, "R16,24\n", 0},
        {"xy_negative", [] { return QB_SetPrintXY(-2, 0); }, 0, "R-16,0\n", 0},
        {"feed_100", [] { return QB_SetPrintFeedDim(100); }, 0, "f100\n", 0},
        {"feed_70", [] { return QB_SetPrintFeedDim(70); }, 0, "f70\n", 0},
        {"feed_130", [] { return QB_SetPrintFeedDim(130); }, 0, "f130\n", 0},
        {"feed_69", [] { return QB_SetPrintFeedDim(69); }, -1, "", ERR_PARAMETER},
        {"feed_131", [] { return QB_SetPrintFeedDim(131); }, -1, "", ERR_PARAMETER},
        {"paper_gap", [] { return QB_SetPaperSize(0, 50, 30, 3); }, 0, "q400\nQ240,24\n", 0},
        {"paper_mark_no_width", [] { return QB_SetPaperSize(1, -1, 30, 3); }, 0, "Q240,B24\n", 0},
        {"paper_no_length", [] { return QB_SetPaperSize(1, 50, -1, 3); }, 0, "q400\n", 0},
        {"paper_neither", [] { return QB_SetPaperSize(1, -1, -1, 3); }, 0, "", 0},
        {"paper_150mm", [] { return QB_SetPaperSize(0, 104, 150, 3); }, 0, "q832\nQ1200,24\n", 0},
        {"paper_negative", [] { return QB_SetPaperSize(7, -2, -3, -4); }, 0, "q-16\nQ-24,B-32\n", 0},
        {"clear", [] { return QB_SetClear(); }, 0, "N\n", 0},
        {"initialize", [] { return QB_SetInitialize(2, 8, 1); }, 0, "S2\nD8\nJB\n", 0},
        {"initialize_backup", [] { return QB_SetInitialize(4, 0, 0); }, 0, "S4\nD0\nJF\n", 0},
        {"initialize_speed_5", [] { return QB_SetInitialize(5, 8, 1); }, -1, "", ERR_PARAMETER},
        {"initialize_darkness_16", [] { return QB_SetInitialize(1, 16, 1); }, -1, "", ERR_PARAMETER},
        {"back_off", [] { return QB_SetPrintBack(0); }, 0, "JF\n", 0},
        {"back_on", [] { return QB_SetPrintBack(7); }, 0, "JB\n", 0},
        {"line", [] { return QB_PrintLine(10, 5, 40, 1); }, 0, "LO80,40,320,8\n", 0},
        {"line_extremes", [] { return QB_PrintLine(INT_MAX, INT_MIN, 0, -1); }, 0,
         "LO17179869176,-17179869184,0,-8\n", 0},
        {"box", [] { return QB_PrintBox(1, 2, 50, 30, 1); }, 0, "X8,16,8,400,240\n", 0},
        {"text", [] { return QB_PrintCharacter(5, 5, 0, 3, 1, 1, 0, "ABC"); }, 0,
         "A40,40,0,3,1,1,N,\"ABC\"\n", 0},
        {"text_reverse", [] { return QB_PrintCharacter(5, 5, 1, 4, 2, 3, -5, "ABC"); }, 0,
         "A40,40,1,4,2,3,R,\"ABC\"\n", 0},
        {"text_quote_unescaped", [] { return QB_PrintCharacter(0, 0, 0, 1, 1, 1, 0, "say \"hi\"\\"); }, 0,
         "A0,0,0,1,1,1,N,\"say \"hi\"\\\"\n", 0},
        {"text_empty", [] { return QB_PrintCharacter(0, 0, 0, 1, 1, 1, 0, ""); }, 0,
         "A0,0,0,1,1,1,N,\"\"\n", 0},
        {"text_gb2312", [] { return QB_PrintCharacter(1, 1, 0, 8, 1, 1, 0, "\xD6\xD0\xCE\xC4"); }, 0,
         "A8,8,0,8,1,1,N,\"\xD6\xD0\xCE\xC4\"\n", 0},
        {"text_null", [] { return QB_PrintCharacter(5, 5, 0, 3, 1, 1, 0, nullptr); }, -1, "", ERR_PARAMETER},
        {"text_lf_injection", [] { return QB_PrintCharacter(0, 0, 0, 1, 1, 1, 0, "A\nP9999"); }, -1, "", ERR_PARAMETER},
        {"text_cr", [] { return QB_PrintCharacter(0, 0, 0, 1, 1, 1, 0, "A\r"); }, -1, "", ERR_PARAMETER},
        {"barcode_lf_injection", [] { return QB_PrintBarcode(0, 0, 0, 1, 2, 6, 50, 1, "1\nP9"); }, -1, "",
         ERR_PARAMETER},
        {"mem_graphics_lf", [] { return QB_PrintMemGraphics(1, 2, "LO\nGO"); }, -1, "", ERR_PARAMETER},
        {"delete_graphics_cr", [] { return QB_DeleteMemGraphics("LOGO\r"); }, -1, "", ERR_PARAMETER},
        {"command", [] { return QB_SendCommand("OD"); }, 0, "OD\n", 0},
        {"command_ean13", [] { return QB_SendCommand("B10,10,0,E30,2,2,50,B,\"012345678901\""); }, 0,
         "B10,10,0,E30,2,2,50,B,\"012345678901\"\n", 0},
        {"command_empty", [] { return QB_SendCommand(""); }, 0, "\n", 0},
        {"command_null", [] { return QB_SendCommand(nullptr); }, -1, "", ERR_PARAMETER},
        {"command_two_lines", [] { return QB_SendCommand("N\nP1"); }, -1, "", ERR_PARAMETER},
        {"command_crlf", [] { return QB_SendCommand("N\r"); }, -1, "", ERR_PARAMETER},
        {"bytes", [] { return QB_SendBytes("\0\r\n\xff", 4); }, 0, std::string("\0\r\n\xff", 4), 0},
        {"bytes_none", [] { return QB_SendBytes(nullptr, 0); }, 0, "", 0},
        {"bytes_null", [] { return QB_SendBytes(nullptr, 1); }, -1, "", ERR_PARAMETER},
        {"barcode", [] { return QB_PrintBarcode(5, 10, 0, 3, 2, 6, 100, 1, "123"); }, 0,
         "B40,80,0,3,2,6,100,B,\"123\"\n", 0},
        {"barcode_plain", [] { return QB_PrintBarcode(0, 0, 2, 1, 3, 7, -9, 0, ""); }, 0,
         "B0,0,2,1,3,7,-9,N,\"\"\n", 0},
        {"barcode_null", [] { return QB_PrintBarcode(5, 10, 0, 3, 2, 6, 100, 1, nullptr); }, -1, "",
         ERR_PARAMETER},
        {"print_1", [] { return QB_Print(1); }, 0, "P1\n", 0},
        {"print_0", [] { return QB_Print(0); }, 0, "P0\n", 0},
        {"print_minus_1", [] { return QB_Print(-1); }, 0, "P-1\n", 0},
        {"mem_graphics", [] { return QB_PrintMemGraphics(1, 2, "LOGO"); }, 0, "GG8,16,\"LOGO\"\n", 0},
        {"mem_graphics_null", [] { return QB_PrintMemGraphics(1, 2, nullptr); }, -1, "", ERR_PARAMETER},
        {"delete_graphics", [] { return QB_DeleteMemGraphics("LOGO"); }, 0, "GK\"LOGO\"\nGK\"LOGO\"\n", 0},
        {"delete_graphics_null", [] { return QB_DeleteMemGraphics(nullptr); }, -1, "", ERR_PARAMETER},
    };
    return cases;
}

}  // namespace qbtest
