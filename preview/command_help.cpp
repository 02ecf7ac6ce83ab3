// SPDX-License-Identifier: MIT
#include "command_help.h"

namespace quillbar::preview {
namespace {

// The fields bar codes, text and boxes share.
const FieldHelp kX{"x", "0-9999", "", "horizontal start in dots, from the left (plus R's offset)"};
const FieldHelp kY{"y", "0-9999", "", "vertical start in dots, from the top (plus R's offset)"};
const FieldHelp kRotation{"rotation", "0-3", "", "0, 90, 180 or 270 degrees clockwise"};
const FieldHelp kData{"data", "\"...\", V00-V99, C0-C9, TT, TD", "",
                      "quoted text (\\\" for a quote, \\\\ for a backslash), or a form's variable, counter, time "
                      "or date"};
const FieldHelp kName{"name", "\"NAME\", up to 8 characters", "", "the name, case-sensitive; \"*\" for all"};
const FieldHelp kWord{"value", "", "", "the setting, as the command's letters are followed"};

std::vector<CommandHelp> make() {
    return {
        // Setup and settings
        {"N", "Clears the image buffer: the next label starts empty.", "N", {}},
        {"q", "Sets the label width; the buffer is formatted anew.", "q812",
         {{"width", "1-65535 dots", "the head's width (832 at 203 dpi)", "the label's width in dots"}}},
        {"Q", "Sets the label length and the gap or black mark between labels.", "Q1218,24",
         {{"length", "0-65535 dots", "", "the label's length in dots"},
          {"gap", "0 (continuous), 16-240, or B and a mark's thickness", "", "the gap between labels in dots"},
          {"offset", "+/- dots", "0", "where a black mark is, or the gap's offset"}}},
        {"R", "Sets the reference point: an offset added to every object.", "R20,0",
         {{"left", "dots", "0", "added to every x"}, {"top", "dots", "0", "added to every y"}}},
        {"S", "Sets the print speed.", "S3", {{"speed", "0-6 (by model)", "", "the speed code"}}},
        {"D", "Sets the print density (darkness).", "D8", {{"density", "0-15", "7-10 by model", "0 lightest"}}},
        {"f", "Adjusts where the label stops for cutting or tearing.", "f100",
         {{"position", "0-200 (20-180 recommended)", "100", "the stop position"}}},
        {"i", "Sets the space between Asian characters (fonts 8 and 9).", "i2",
         {{"space", "0-9 dots", "0", "extra space after each character"}}},
        {"JB", "Top-of-form backup off for batches of labels.", "JB", {}},
        {"JF", "Top-of-form backup on (the printer's default).", "JF", {}},
        {"JC", "Top-of-form backup off for all operations.", "JC", {}},
        {"O", "Sets the hardware options; options not named fall back to their default.", "OD",
         {{"options", "C, Cnnn, Cb, D, P, L, S, Ff, Fr, Fi, N", "thermal transfer, no cutter",
           "D direct thermal, C cut after each label, P peel, S mark sensing; joined by commas"}}},
        {"Z", "Sets the print direction: T from the top, B turned over (labels printed upside down).", "ZT",
         {{"direction", "T or B", "T", "T top first, B bottom first"}}},
        {"I", "Selects the character set that bytes of text are printed in (fonts 1-5).", "I8,A,001",
         {{"bits", "8 or 7", "8", "8-bit code pages or 7-bit national sets"},
          {"code page", "0-13 (DOS 437, 850, 852...), A-F (Windows 1252, 1250, 1251, 1253, 1254, 1255)", "0",
           "the code page; 7-bit: 0 USA ... 8 Swiss"},
          {"country", "001-358", "001", "the country code"}}},
        {"r", "Double buffering off (rN) or on (rY); with numbers, a reference point from the q width.", "rN",
         {kWord}},
        {"W", "Windows driver escape sequences off (WN) or on (WY).", "WN", {kWord}},
        {"o", "Special options: oB, oE, oH, oM, oR (Euro sign, slashed zero), oW; o alone cancels them.", "oR",
         {kWord}},
        {"M", "Memory allocation (ignored by current printers).", "M", {kWord}},
        {"xa", "Runs the media sensor's calibration.", "xa", {}},
        {"TS", "Sets the clock.", "TS12,31,26,10,30,00", {{"time", "month,day,year,hour,minute,second", "", ""}}},
        {"TT", "Sets how TT prints the time in data.", "TTh:m", {kWord}},
        {"TD", "Sets how TD prints the date in data.", "TDy2.mn.dd", {kWord}},
        {"Y", "Sets the serial port; the printer resets.", "Y96,N,8,1",
         {{"speed", "38, 19, 96, 48, 24, 12", "96", "38400 ... 1200 baud"},
          {"parity", "N, E, O", "N", ""},
          {"data bits", "7 or 8", "8", ""},
          {"stop bits", "1 or 2", "1", ""}}},
        {"UA", "On media out, the print buffer is emptied.", "UA", {}},
        {"UB", "On media out, the print buffer is kept.", "UB", {}},
        {"U", "Prints the configuration label.", "U", {}},
        // Soft fonts
        {"ES", "Stores a soft font (binary data follows the name).", "ES\"a\"...",
         {{"name", "\"a\"-\"z\"", "", "the font's letter, used as A's font"},
          {"characters", "a byte", "", "how many characters follow"},
          {"rotation", "00, 01, 02", "", "0/180, 90/270 or both"},
          {"height", "a byte", "", "the characters' height in dots"}}},
        {"EI", "Prints the list of soft fonts.", "EI", {}},
        {"EK", "Deletes a soft font.", "EK\"a\"", {kName}},
        {";", "A comment: the rest of the line is ignored.", "; a comment", {}},
        {"^@", "Resets the printer as a power cycle does.", "^@", {}},
        {"^default", "Returns the printer to its factory settings.", "^default", {}},
        {"C", "Alone: cuts now. With fields, in a form: defines counter C0-C9.", "C0,5,L,+1,\"Serial:\"",
         {{"counter", "0-9", "", "the counter's number"},
          {"digits", "1-29", "", "its most digits"},
          {"justify", "L, R, C, N", "", "within its digits, padded with spaces; N not at all"},
          {"step", "+1...+9, -1...-9", "", "added between label sets"},
          {"prompt", "\"...\"", "", "what the host is asked (- first: once)"}}},
        // Text and bar codes
        {"A", "Draws text in a resident font (1-5, 8, 9) or a soft font (a-z).", "A50,20,0,3,1,1,N,\"Hello\"",
         {kX, kY, kRotation,
          {"font", "1-5, 8, 9, a-z", "", "1-4 text, 5 capitals, 8 and 9 Asian (GB2312/GBK data), a-z soft fonts"},
          {"h-mult", "1-8", "", "each dot this many dots wide"},
          {"v-mult", "1-9", "", "each dot this many dots tall"},
          {"reverse", "N or R", "", "N black on white, R white on black"},
          kData}},
        {"B", "Draws a linear bar code.", "B50,80,0,1,2,6,100,B,\"QB-1\"",
         {kX, kY, kRotation,
          {"type", "1, 1A-1E, 0, 3, 3C, 9, K, E80-E85, E30-E35, UA0-UA5, UE0-UE5, 2, 2C, 2D, 2U, 2G, P, PL, J, L, M",
           "", "1 Code 128, 3 Code 39, E30 EAN-13, UA0 UPC-A, 2 Interleaved 2 of 5, K Codabar, P Postnet"},
          {"narrow", "1-10 dots (2-4 for EAN/UPC)", "", "the narrow bar's width"},
          {"wide", "2-30 dots", "", "the wide bar's width (codes with two widths)"},
          {"height", "dots", "", "the bars' height"},
          {"readable", "B or N", "", "B with the human-readable line, N without"},
          kData}},
        {"b", "Draws a two-dimensional code: Aztec, Data Matrix, MaxiCode, PDF417 or QR.",
         "b50,50,Q,m2,s5,eM,\"https://example.com\"",
         {kX, kY,
          {"type", "A, AZ, D, M, P, Q", "", "A Aztec, D Data Matrix, M MaxiCode, P PDF417, Q QR"},
          {"options", "a letter and a value each", "",
           "QR: m model, s scale 1-99, e L/M/Q/H; Data Matrix: h module; PDF417: width,height, s level, x module; "
           "MaxiCode: m2/m3/m4/m6"},
          kData}},
        // Lines, boxes and graphics
        {"LO", "Draws a black line or filled box.", "LO20,230,360,4",
         {kX, kY, {"width", "dots", "", ""}, {"height", "dots", "", ""}}},
        {"LE", "Inverts a box: black becomes white and white black (over everything).", "LE20,20,200,40",
         {kX, kY, {"width", "dots", "", ""}, {"height", "dots", "", ""}}},
        {"LW", "Draws a white line or box, erasing what is under it.", "LW20,20,200,4",
         {kX, kY, {"width", "dots", "", ""}, {"height", "dots", "", ""}}},
        {"LS", "Draws a diagonal line.", "LS20,20,4,300,200",
         {kX, kY, {"thickness", "dots", "", ""}, {"x2", "dots", "", "the end's x"}, {"y2", "dots", "", "the end's y"}}},
        {"X", "Draws a hollow box from a corner to the opposite corner.", "X10,10,3,400,300",
         {kX, kY, {"thickness", "dots", "", "the lines' thickness, inwards"}, {"x2", "dots", "", "the end corner's x"},
          {"y2", "dots", "", "the end corner's y"}}},
        {"GW", "Draws a bitmap sent with the command (binary: a 0 bit is black).", "GW20,20,2,16,<32 bytes>",
         {kX, kY, {"bytes", "1-", "", "bytes a row (width / 8)"}, {"rows", "1-", "", "rows"}}},
        {"GM", "Stores a graphic (a 1-bit PCX file follows the line).", "GM\"LOGO\"1234",
         {kName, {"size", "bytes", "", "the PCX file's size"}}},
        {"GG", "Draws a stored graphic.", "GG20,20,\"LOGO\"", {kX, kY, kName}},
        {"GK", "Deletes a stored graphic (sent twice).", "GK\"LOGO\"", {kName}},
        {"GI", "Prints the list of stored graphics.", "GI", {}},
        // Forms, variables, counters and printing
        {"FK", "Deletes a stored form.", "FK\"SHIP\"", {kName}},
        {"FS", "Starts storing a form: lines up to FE are kept, not drawn.", "FS\"SHIP\"", {kName}},
        {"FE", "Ends the form being stored.", "FE", {}},
        {"FR", "Retrieves a stored form; its data follows ?.", "FR\"SHIP\"", {kName}},
        {"FI", "Prints the list of stored forms.", "FI", {}},
        {"V", "Defines a form's variable V00-V99.", "V00,15,N,\"Name:\"",
         {{"variable", "00-99", "", "its number, in order"},
          {"length", "1-99", "", "its most characters"},
          {"justify", "L, R, C, N", "", "within its length, padded with spaces; N not at all"},
          {"prompt", "\"...\"", "", "what the host is asked (- first: once)"}}},
        {"?", "Starts a retrieved form's data: a line per variable, then per counter.", "?", {}},
        {"P", "Prints the label: sets, and copies of each.", "P1",
         {{"sets", "1-65535", "1", "label sets (counters change between them)"},
          {"copies", "1-65535", "1", "copies of each set"}}},
        {"PA", "In a form: prints once all its data has come.", "PA1",
         {{"sets", "1-65535", "1", ""}, {"copies", "1-65535", "1", ""}}},
        // Replies to the host
        {"^ee", "Asks for the error report: 00, or the codes of the errors.", "^ee", {}},
        {"UQ", "Asks for the configuration, as lines of text.", "UQ", {}},
        {"UP", "Prints the configuration and sends the memory report.", "UP", {}},
        {"UI", "Enables prompts and sends the character set.", "UI", {}},
        {"US", "Turns error reporting on.", "US", {}},
        {"UN", "Turns error reporting off.", "UN", {}},
        {"UT", "Turns the alternate error reporting on.", "UT", {}},
        {"UE", "Sends the list of soft fonts.", "UE", {}},
        {"UF", "Sends the list of forms.", "UF", {}},
        {"UG", "Sends the list of graphics.", "UG", {}},
        {"eR", "Sets how errors are reported.", "eR$,2",
         {{"character", "a character", "", "the reply's first character"},
          {"mode", "0, 1, 2", "0", "0 XON/XOFF, 1 the character, 2 the character and the code"}}},
    };
}

}  // namespace

const std::vector<CommandHelp> &command_help() {
    static const std::vector<CommandHelp> rows = make();
    return rows;
}

}  // namespace quillbar::preview
