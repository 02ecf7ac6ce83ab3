// SPDX-License-Identifier: MIT
#include "barcodes.h"

#include <zint.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>

#include "code128.h"
#include "symbol_shapes.h"
#include "machine.h"

namespace quillbar::preview {
namespace {

using Symbol = std::unique_ptr<zint_symbol, decltype(&ZBarcode_Delete)>;

bool digits(const std::string &s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string without(const std::string &s, char drop) {
    std::string out;
    for (char c : s)
        if (c != drop) out += c;
    return out;
}


struct Linear {
    const char *selection;
    int zint;
    bool two_widths;  // bars and spaces narrow or wide (Code 39, 2 of 5, Codabar, MSI)
    int option_2;
    const char *name;
};

// The guide's table of B selections.
const Linear kLinear[] = {
    {"0", BARCODE_GS1_128, false, 0, "Code 128 UCC shipping container code"},
    {"1", BARCODE_CODE128, false, 0, "Code 128"},
    {"1A", BARCODE_CODE128, false, 0, "Code 128 subset A"},
    {"1B", BARCODE_CODE128B, false, 0, "Code 128 subset B"},
    {"1C", BARCODE_CODE128, false, 0, "Code 128 subset C"},
    {"1D", BARCODE_CODE128, false, 0, "Code 128 Deutsche Post"},
    {"1E", BARCODE_GS1_128, false, 0, "UCC/EAN-128"},
    {"2", BARCODE_C25INTER, true, 0, "Interleaved 2 of 5"},
    {"2C", BARCODE_C25INTER, true, 2, "Interleaved 2 of 5 with check digit"},
    {"2D", BARCODE_C25INTER, true, 1, "Interleaved 2 of 5 with check digit shown"},
    {"2U", BARCODE_ITF14, true, 0, "UPC Interleaved 2 of 5"},
    {"2G", BARCODE_DPLEIT, true, 0, "German Post Code"},
    {"3", BARCODE_CODE39, true, 0, "Code 39"},
    {"3C", BARCODE_CODE39, true, 1, "Code 39 with check digit"},
    {"9", BARCODE_CODE93, false, 0, "Code 93"},
    {"K", BARCODE_CODABAR, true, 0, "Codabar"},
    {"E80", BARCODE_EANX, false, 0, "EAN-8"},
    {"E82", BARCODE_EANX, false, 0, "EAN-8 with 2-digit add-on"},
    {"E85", BARCODE_EANX, false, 0, "EAN-8 with 5-digit add-on"},
    {"E30", BARCODE_EANX, false, 0, "EAN-13"},
    {"E32", BARCODE_EANX, false, 0, "EAN-13 with 2-digit add-on"},
    {"E35", BARCODE_EANX, false, 0, "EAN-13 with 5-digit add-on"},
    {"UA0", BARCODE_UPCA, false, 0, "UPC-A"},
    {"UA2", BARCODE_UPCA, false, 0, "UPC-A with 2-digit add-on"},
    {"UA5", BARCODE_UPCA, false, 0, "UPC-A with 5-digit add-on"},
    {"UE0", BARCODE_UPCE, false, 0, "UPC-E"},
    {"UE2", BARCODE_UPCE, false, 0, "UPC-E with 2-digit add-on"},
    {"UE5", BARCODE_UPCE, false, 0, "UPC-E with 5-digit add-on"},
    {"P", BARCODE_POSTNET, false, 0, "Postnet"},
    {"PL", BARCODE_PLANET, false, 0, "Planet"},
    {"J", BARCODE_JAPANPOST, false, 0, "Japanese Postnet"},
    {"L", BARCODE_MSI_PLESSEY, true, 1, "Plessey"},
    {"M", BARCODE_MSI_PLESSEY, true, 1, "MSI-3"},
};

// The data as zint takes it for the selection, after the printer's own
// rules; "" or the rule broken.
std::string prepare(const Linear &code, const std::string &selection, std::string data, std::string &out, int &zint,
                    int &input_mode, std::vector<std::string> &notes) {
    const std::string name = code.name;
    // EAN and UPC: the base number, then any add-on digits, as one run.
    if (selection[0] == 'E' || selection[0] == 'U') {
        const std::size_t addon = static_cast<std::size_t>(selection[2] - '0');
        if (!digits(data)) return name + " takes digits only";
        std::size_t lo = 12, hi = 13;
        if (selection == "E80" || selection == "E82" || selection == "E85") lo = 7, hi = 8;
        if (selection[0] == 'U' && selection[1] == 'A') lo = 11, hi = 12;
        if (selection[0] == 'U' && selection[1] == 'E') lo = 6, hi = 8;
        if (data.size() < lo + addon || data.size() > hi + addon)
            return name + " takes " + std::to_string(lo) + " to " + std::to_string(hi) + " digits" +
                   (addon ? " and " + std::to_string(addon) + " add-on digits" : "") + ", not " +
                   std::to_string(data.size());
        out = addon ? data.substr(0, data.size() - addon) + "+" + data.substr(data.size() - addon) : data;
        return "";
    }
    if (selection == "0") {
        // The serial shipping container code, AI 00: 17 digits and the check
        // digit the printer adds, 18 with it, or 20 with the AI in front (a
        // retailer's ship-notice label sends it so).
        if (!digits(data) || (data.size() != 17 && data.size() != 18 && data.size() != 20))
            return name + " takes 17 or 18 digits, or 20 starting with the application identifier 00";
        if (data.size() == 20) {
            if (data.compare(0, 2, "00") != 0) return name + ": 20 digits start with the application identifier 00";
            data.erase(0, 2);
        }
        const std::string d = data.substr(0, 17);
        int sum = 0;
        for (std::size_t i = 0; i < 17; ++i) sum += (d[i] - '0') * (i % 2 == 0 ? 3 : 1);
        const char check = static_cast<char>('0' + (10 - sum % 10) % 10);
        // A wrong check digit is printed corrected, as the printer computes
        // it for 17 digits: the code then scans as a valid SSCC. Never
        // silently.
        if (data.size() == 18 && data[17] != check)
            notes.push_back(name + ": check digit " + data[17] + " replaced by " + check);
        out = "[00]" + d + check;
        input_mode = GS1_MODE;
        return "";
    }
    if (selection == "1E") {
        // Application identifiers in brackets or parentheses (plain data is
        // drawn by the Code 128 step of our own).
        input_mode = data.find('(') != std::string::npos ? GS1_MODE | GS1PARENS_MODE : GS1_MODE;
        out = data;
        return "";
    }
    if (selection == "3" || selection == "3C") {
        // Code 39 is full ASCII as soon as the data needs it.
        static const char kStandard[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ -.$/+%";
        for (char c : data)
            if (static_cast<unsigned char>(c) >= 128) return name + " takes ASCII characters only";
        if (data.find_first_not_of(kStandard) != std::string::npos) zint = BARCODE_EXCODE39;
    }
    if (selection == "1D") {
        // Two subset-B characters, eight digits, DE.
        if (data.size() != 12 || !digits(data.substr(2, 8)) || data.compare(10, 2, "DE") != 0)
            return name + " takes two characters, eight digits and DE";
        notes.push_back("Deutsche Post check digit not inserted");
    }
    if (selection[0] == '2' || selection == "L" || selection == "M") {
        if (!digits(data)) return name + " takes digits only";
    }
    if (selection == "2U") {
        if (data.size() != 13 && data.size() != 14) return name + " takes 13 or 14 digits";
        if (data.size() == 14) data.resize(13);  // zint adds the check digit itself
    }
    if (selection == "2G") {
        if (data.size() == 11 || data.size() == 12) {
            zint = BARCODE_DPIDENT;
            data.resize(11);
        } else if (data.size() == 13 || data.size() == 14) {
            data.resize(13);
        } else {
            return name + " takes 11 (Identcode) or 13 (Leitcode) digits";
        }
    }
    if (selection == "P" || selection == "PL") {
        data = without(data, '-');  // hyphens separate, and are dropped
        if (!digits(data)) return name + " takes digits only";
        const bool ok = selection == "P" ? (data.size() == 5 || data.size() == 9 || data.size() == 11 || data.size() == 13)
                                         : (data.size() == 11 || data.size() == 13);
        if (!ok) return name + (selection == "P" ? " takes 5, 9, 11 or 13 digits" : " takes 11 or 13 digits");
    }
    if (selection == "J") {
        if (data.size() > 20) data.resize(20);  // cut to 20, as the printer does
    }
    if (selection == "K") {
        const auto start = [](char c) { return c >= 'A' && c <= 'D'; };
        std::string upper = data;
        for (char &c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (upper.size() < 2 || !start(upper.front()) || !start(upper.back())) {
            upper = "A" + upper + "A";
            notes.push_back("Codabar without start and stop characters: drawn with A ... A");
        }
        data = upper;
    }
    out = data;
    return "";
}

std::string encode(zint_symbol *s, const std::string &data, const std::string &name) {
    const int rc = ZBarcode_Encode(s, reinterpret_cast<const unsigned char *>(data.data()), static_cast<int>(data.size()));
    return rc >= ZINT_ERROR ? name + ": " + s->errtxt : "";
}

long option_number(const MatrixRequest &r, char letter, long fallback, long lo, long hi, std::string &error) {
    const auto it = r.options.find(letter);
    if (it == r.options.end()) return fallback;
    long v = 0;
    if (!parse_number(it->second, v) || v < lo || v > hi)
        error = std::string("option ") + letter + " '" + shown(it->second) + "' is not " + std::to_string(lo) + ".." +
                std::to_string(hi);
    return v;
}

// ECC 200 sizes, rows x columns, in zint's order of option_2.
const int kDataMatrixSizes[][2] = {{10, 10},   {12, 12},   {14, 14},   {16, 16},   {18, 18},   {20, 20},
                                   {22, 22},   {24, 24},   {26, 26},   {32, 32},   {36, 36},   {40, 40},
                                   {44, 44},   {48, 48},   {52, 52},   {64, 64},   {72, 72},   {80, 80},
                                   {88, 88},   {96, 96},   {104, 104}, {120, 120}, {132, 132}, {144, 144},
                                   {8, 18},    {8, 32},    {12, 26},   {12, 36},   {16, 36},   {16, 48}};

const Linear *find_linear(const std::string &selection) {
    for (const Linear &l : kLinear)
        if (selection == l.selection) return &l;
    return nullptr;
}

EncodeError data_error(std::string message) {
    return message.empty() ? EncodeError{} : EncodeError{EncodeError::bad_data, std::move(message)};
}

std::string draw_linear(const Linear *code, const LinearRequest &request, Shape &shape) {
    shape.dots_per_mm = request.dots_per_mm;
    if (request.data.empty()) return "";  // empty data draws nothing
    // Code 128 that libzint would draw otherwise than the printer does.
    const bool plain_ucc = request.selection == "1E" && request.data.find_first_of("([") == std::string::npos;
    if (request.selection == "1A" || request.selection == "1C" || plain_ucc) {
        std::vector<int> widths;
        const Code128Set set = request.selection == "1A"   ? Code128Set::A
                               : request.selection == "1C" ? Code128Set::C
                                                           : Code128Set::automatic;
        const std::string rule = code128_widths(request.data, set, plain_ucc, widths);
        if (!rule.empty()) return rule;
        bars_from_widths(widths, request.narrow, request.height, shape);
        if (request.readable) {
            shape.readable = request.data;
            shape.readable_font = request.narrow >= 3 ? 3 : 2;
        }
        return "";
    }
    std::string data;
    int zint = code->zint, input_mode = DATA_MODE;
    const std::string rule = prepare(*code, request.selection, request.data, data, zint, input_mode, shape.notes);
    if (!rule.empty()) return rule;
    Symbol symbol(ZBarcode_Create(), ZBarcode_Delete);
    if (!symbol) return "libzint could not start";
    symbol->symbology = zint;
    symbol->input_mode = input_mode;
    symbol->option_2 = code->option_2;
    const std::string error = encode(symbol.get(), data, code->name);
    if (!error.empty()) return error;
    bars_from(*symbol, code->two_widths, request.narrow, request.wide, request.height, shape);
    shape.late = zint == BARCODE_POSTNET || zint == BARCODE_PLANET;
    if (request.readable && !shape.late && zint != BARCODE_JAPANPOST) {
        shape.readable = reinterpret_cast<const char *>(symbol->text);
        if (shape.readable.empty() || zint == BARCODE_GS1_128) shape.readable = request.data;
        shape.readable_font = request.narrow >= 3 ? 3 : 2;
        if (zint == BARCODE_EANX || zint == BARCODE_UPCA || zint == BARCODE_UPCE)
            lay_out_ean(zint, request.narrow, shape);
    }
    return "";
}

const char *const kMatrixTypes[] = {"Q", "P", "D", "M", "A", "AZ"};

std::string draw_matrix(const MatrixRequest &r, Shape &shape) {
    Symbol symbol(ZBarcode_Create(), ZBarcode_Delete);
    if (!symbol) return "libzint could not start";
    std::string error, data = r.data;
    long module_w = 3, row_h = 3;
    std::string name;
    if (r.type == "Q") {
        name = "QR Code";
        symbol->symbology = BARCODE_QRCODE;
        module_w = row_h = option_number(r, 's', 3, 1, 99, error);
        symbol->option_1 = 2;  // error level M unless e says otherwise
        const auto e = r.options.find('e');
        if (e != r.options.end()) {
            const std::string levels = "LMQH";
            const std::size_t level = e->second.size() == 1 ? levels.find(e->second[0]) : std::string::npos;
            if (level == std::string::npos) return "QR Code: option e '" + shown(e->second) + "' is not L, M, Q or H";
            symbol->option_1 = static_cast<int>(level) + 1;
        }
        if (option_number(r, 'm', 2, 1, 2, error) == 1) shape.notes.push_back("QR Code model 1 drawn as model 2");
        const auto i = r.options.find('i');
        if (i != r.options.end() && i->second == "M" && !data.empty()) {
            // Manual mode: the first byte names the character mode.
            if (std::strchr("NAKB", data[0]) == nullptr) return "QR Code: in manual mode data starts with N, A, K or B";
            data.erase(0, 1);
            shape.notes.push_back("QR Code manual mode drawn with modes chosen automatically");
        }
    } else if (r.type == "P") {
        name = "PDF417";
        symbol->symbology = r.options.count('t') && r.options.at('t') == "1" ? BARCODE_PDF417COMP : BARCODE_PDF417;
        module_w = option_number(r, 'x', 0, 2, 9, error);  // 0: the widest that fits, 6 down to 3
        row_h = option_number(r, 'y', 0, 4, 99, error);     // 0: four times the module
        const long level = option_number(r, 's', -1, 0, 8, error);
        if (level >= 0) symbol->option_1 = static_cast<int>(level);
        const long columns = option_number(r, 'l', 0, 1, 30, error);
        if (columns > 0) symbol->option_2 = static_cast<int>(columns);
    } else if (r.type == "D") {
        name = "Data Matrix";
        symbol->symbology = BARCODE_DATAMATRIX;
        module_w = row_h = option_number(r, 'h', 5, 1, 40, error);
        shape.inverse = r.options.count('v') && r.options.at('v') == "1";
        const long rows = option_number(r, 'r', 0, 8, 144, error), columns = option_number(r, 'c', 0, 10, 144, error);
        if (rows || columns) {
            int chosen = 0;
            for (int k = 0; k < 30; ++k)
                if (kDataMatrixSizes[k][0] == (rows ? rows : columns) && kDataMatrixSizes[k][1] == (columns ? columns : rows))
                    chosen = k + 1;
            if (!chosen) return "Data Matrix: no ECC 200 size of " + std::to_string(rows) + " rows by " + std::to_string(columns) + " columns";
            symbol->option_2 = chosen;
        }
    } else if (r.type == "M") {
        name = "MaxiCode";
        symbol->symbology = BARCODE_MAXICODE;
        long mode = 0;
        const auto m = r.options.find('m');
        if (m != r.options.end() && (!parse_number(m->second, mode) || mode < 2 || mode > 6 || mode == 5))
            return "MaxiCode: mode m'" + shown(m->second) + "' is not 2, 3, 4 or 6";
        // "class,country,postal,message" for the structured modes, or
        // "class,country,zip5,zip4,message": the guide's form of a US postal
        // code, and what carriers write. A 5-digit postal code followed by a
        // field of exactly 4 digits and a comma is a ZIP+4; a message that
        // itself starts with four digits and a comma after a 5-digit code
        // cannot be told from it and is read so too (structured messages
        // start with "[)>").
        std::vector<std::string> parts;
        std::size_t start = 0;
        for (int k = 0; k < 3; ++k) {
            const std::size_t comma = data.find(',', start);
            if (comma == std::string::npos) break;
            parts.push_back(data.substr(start, comma - start));
            start = comma + 1;
        }
        if (parts.size() == 3 && (mode == 0 || mode == 2 || mode == 3)) {
            const std::string &cls = parts[0], &country = parts[1];
            std::string postal = parts[2];
            if (!digits(cls) || cls.size() != 3 || !digits(country) || country.size() != 3)
                return "MaxiCode: class and country are 3 digits each";
            const std::size_t plus4 = data.find(',', start);
            if (mode != 3 && postal.size() == 5 && digits(postal) && plus4 == start + 4 &&
                digits(data.substr(start, 4))) {
                postal += data.substr(start, 4);
                start = plus4 + 1;
            }
            if (mode == 0) mode = digits(postal) ? 2 : 3;
            std::string code = postal;
            if (mode == 2) {
                if (!digits(code) || code.size() > 9) return "MaxiCode mode 2: the postal code is up to 9 digits";
                code.insert(0, (code.size() <= 5 ? 5 : 9) - code.size(), '0');
            } else {
                if (code.size() > 6) code.resize(6);
            }
            std::snprintf(symbol->primary, sizeof symbol->primary, "%s%s%s", code.c_str(), country.c_str(), cls.c_str());
            data = data.substr(start);
        } else if (mode == 0) {
            mode = 4;
        }
        symbol->option_1 = static_cast<int>(mode);
    } else if (r.type == "A") {
        name = "Aztec";
        module_w = row_h = option_number(r, 'd', 3, 1, 55, error);
        const long e = option_number(r, 'e', 0, 0, 300, error);
        symbol->symbology = e == 300 ? BARCODE_AZRUNE : BARCODE_AZTEC;
        if (e >= 1 && e <= 99) symbol->option_1 = e <= 10 ? 1 : e <= 23 ? 2 : e <= 36 ? 3 : 4;
        else if (e >= 101 && e <= 104) symbol->option_2 = static_cast<int>(e - 100);
        else if (e >= 201 && e <= 232) symbol->option_2 = static_cast<int>(e - 200 + 4);
        else if (e != 0 && e != 300) return "Aztec: option e " + std::to_string(e) + " is not 0, 1..99, 101..104, 201..232 or 300";
        shape.inverse = r.options.count('r') && r.options.at('r') == "1";
    } else {
        return "Aztec Mesa (AZ) is not drawn by the preview";
    }
    if (!error.empty()) return name + ": " + error;
    if (data.empty()) return "";
    error = encode(symbol.get(), data, name);
    if (!error.empty()) return error + " (printer error 03)";
    if (r.type == "M") return maxicode_from(*symbol, r.dots_per_mm, shape);
    if (r.type == "P") {
        pdf417_from(*symbol, r, module_w, row_h, shape);
        return "";
    }
    modules_from(*symbol, module_w, row_h, shape);
    if (r.type == "D") add_quiet_zone(shape, module_w);
    return "";
}

}  // namespace

EncodeError encode_linear(const LinearRequest &request, Shape &shape) {
    const Linear *code = find_linear(request.selection);
    if (!code)
        return {EncodeError::unknown_code, "no bar code selection '" + shown(request.selection) + "' (printer error 01)"};
    return data_error(draw_linear(code, request, shape));
}

bool reads_wide_bar(const std::string &selection) {
    const Linear *code = find_linear(selection);
    return !code || code->two_widths;
}

bool reads_narrow_bar(const std::string &selection) { return selection != "P" && selection != "PL" && selection != "J"; }

EncodeError encode_matrix(const MatrixRequest &request, Shape &shape) {
    if (std::find(std::begin(kMatrixTypes), std::end(kMatrixTypes), request.type) == std::end(kMatrixTypes))
        return {EncodeError::unknown_code, "no two-dimensional code type '" + shown(request.type) + "' (printer error 01)"};
    return data_error(draw_matrix(request, shape));
}

}  // namespace quillbar::preview
