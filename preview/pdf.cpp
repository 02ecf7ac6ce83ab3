// SPDX-License-Identifier: MIT
#include "pdf.h"

#include <cairo-pdf.h>
#include <cairo.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <cstdio>
#include <atomic>
#include <mutex>

#include "bitmap.h"
#include "connection/late_library.h"

namespace quillbar::preview {
namespace {

// cairo and the dozen libraries under it are opened when the first PDF is
// made: rendering to PNG never maps them.
#define QB_CAIRO_FUNCTIONS(X)                                                                                     \
    X(cairo_create) X(cairo_destroy) X(cairo_image_surface_create) X(cairo_image_surface_get_data)               \
    X(cairo_image_surface_get_stride) X(cairo_mask) X(cairo_pattern_create_for_surface) X(cairo_pattern_destroy) \
    X(cairo_pattern_set_filter) X(cairo_pdf_surface_create_for_stream) X(cairo_pdf_surface_set_size)           \
    X(cairo_scale) X(cairo_set_source_rgb) X(cairo_show_page) X(cairo_status) X(cairo_surface_destroy)         \
    X(cairo_surface_finish) X(cairo_surface_flush) X(cairo_surface_mark_dirty) X(cairo_surface_status)         \
    X(cairo_translate) X(cairo_rectangle) X(cairo_set_dash) X(cairo_set_line_width) X(cairo_stroke)

struct CairoLibrary {
    QB_CAIRO_FUNCTIONS(QB_LATE_POINTER)
};

// Set once the library is loaded; read by any thread after that.
std::atomic<const CairoLibrary *> g_cairo{nullptr};

// Loads cairo once; false, with the reason, when it cannot be.
bool load_cairo(std::string &error) {
    const CairoLibrary *loaded = load_late_once<CairoLibrary>(
        "libcairo.so.2", "PDF files", "cairo", "libcairo2",
        [](void *handle, CairoLibrary &table, const char *&missing) { QB_CAIRO_FUNCTIONS(QB_LATE_RESOLVE) }, error);
    g_cairo.store(loaded, std::memory_order_release);
    return loaded != nullptr;
}

// Only called once load_cairo() succeeded.
const CairoLibrary &cairo() { return *g_cairo.load(std::memory_order_acquire); }

}  // namespace

struct PdfWriter::Cairo {
    cairo_surface_t *pdf = nullptr;
    FILE *file = nullptr;
    std::vector<unsigned char> *memory = nullptr;
    double points_per_dot = 72.0 / 25.4 / 8;
    bool write_failed = false;
    bool closed = false;
    std::optional<PdfSheet> sheet;
    int cell = 0;  // the next label's on the sheet
};

namespace {

cairo_status_t write_to(void *closure, const unsigned char *data, unsigned int length) {
    auto *c = static_cast<PdfWriter::Cairo *>(closure);
    if (c->memory) {
        c->memory->insert(c->memory->end(), data, data + length);
    } else if (!c->file || std::fwrite(data, 1, length, c->file) != length) {
        c->write_failed = true;
        return CAIRO_STATUS_WRITE_ERROR;
    }
    return CAIRO_STATUS_SUCCESS;
}

}  // namespace

PdfWriter::PdfWriter(const std::string &path, int dots_per_mm) : c_(new Cairo) {
    if (!load_cairo(error_)) return;
    c_->file = std::fopen(path.c_str(), "wb");
    if (!c_->file) error_ = "cannot write " + path;
    c_->points_per_dot = 72.0 / 25.4 / true_dots_per_mm(dots_per_mm);
}

PdfWriter::PdfWriter(std::vector<unsigned char> &out, int dots_per_mm) : c_(new Cairo) {
    load_cairo(error_);
    c_->memory = &out;
    c_->points_per_dot = 72.0 / 25.4 / true_dots_per_mm(dots_per_mm);
}

PdfWriter::~PdfWriter() { close(); }

void PdfWriter::set_sheet(const PdfSheet &sheet) {
    c_->sheet = sheet;
    c_->sheet->columns = std::max(1, sheet.columns);
    c_->sheet->rows = std::max(1, sheet.rows);
}

namespace {

// Where a label of size (in points) goes on its axis: in cell `index` of
// `count` along `extent`, at `scale`.
double place(PdfSheet::Align align, double extent, int count, int index, double size) {
    const double cell = extent / count;
    switch (align) {
    case PdfSheet::Align::start: return index * cell;
    case PdfSheet::Align::end: return (index + 1) * cell - size;
    case PdfSheet::Align::center: return index * cell + (cell - size) / 2;
    case PdfSheet::Align::justify: break;
    }
    const double gap = (extent - count * size) / (count + 1);
    return gap + index * (size + gap);
}

}  // namespace

bool PdfWriter::add(const Bitmap &label) {
    if (!error_.empty() || c_->closed) return false;
    const double w = label.width() * c_->points_per_dot, h = label.height() * c_->points_per_dot;
    const PdfSheet *sheet = c_->sheet ? &*c_->sheet : nullptr;
    const double page_w = sheet ? sheet->width_pt : w, page_h = sheet ? sheet->height_pt : h;
    if (!c_->pdf) {
        c_->pdf = cairo().cairo_pdf_surface_create_for_stream(write_to, c_.get(), page_w, page_h);
    } else if (!sheet) {
        cairo().cairo_pdf_surface_set_size(c_->pdf, w, h);
    }
    // The label as a 1-bit mask, black where it is black: cairo packs A1
    // pixels into 32-bit words in the machine's own bit order.
    cairo_surface_t *mask = cairo().cairo_image_surface_create(CAIRO_FORMAT_A1, label.width(), label.height());
    if (cairo().cairo_surface_status(mask) != CAIRO_STATUS_SUCCESS) {
        cairo().cairo_surface_destroy(mask);
        error_ = "no memory for a page of " + std::to_string(label.width()) + " x " + std::to_string(label.height());
        return false;
    }
    cairo().cairo_surface_flush(mask);
    unsigned char *data = cairo().cairo_image_surface_get_data(mask);
    const int stride = cairo().cairo_image_surface_get_stride(mask);
    for (long y = 0; y < label.height(); ++y) {
        auto *row = reinterpret_cast<std::uint32_t *>(data + y * stride);
        const std::uint8_t *dots = label.row(y);
        for (long x = 0; x < label.width(); ++x)
            if (dots[x]) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
                row[x / 32] |= std::uint32_t{1} << (x % 32);
#else
                row[x / 32] |= std::uint32_t{1} << (31 - x % 32);
#endif
            }
    }
    cairo().cairo_surface_mark_dirty(mask);
    cairo_t *cr = cairo().cairo_create(c_->pdf);
    double scale = c_->points_per_dot;
    bool page_full = true;
    if (sheet) {
        // Its cell, and the label at its size there, or smaller to fit.
        const int column = c_->cell % sheet->columns, row = c_->cell / sheet->columns;
        const double fit = std::min({1.0, page_w / sheet->columns / w, page_h / sheet->rows / h});
        const double x = place(sheet->horizontal, page_w, sheet->columns, column, w * fit);
        const double y = place(sheet->vertical, page_h, sheet->rows, row, h * fit);
        scale *= fit;
        cairo().cairo_translate(cr, x, y);
        if (sheet->border != PdfSheet::Border::none) {
            const double dash[] = {4, 3};
            cairo().cairo_set_line_width(cr, 0.5);
            cairo().cairo_set_dash(cr, dash, sheet->border == PdfSheet::Border::dashed ? 2 : 0, 0);
            cairo().cairo_rectangle(cr, 0, 0, w * fit, h * fit);
            cairo().cairo_set_source_rgb(cr, 0, 0, 0);
            cairo().cairo_stroke(cr);
        }
        c_->cell = (c_->cell + 1) % (sheet->columns * sheet->rows);
        page_full = c_->cell == 0;
    }
    cairo().cairo_scale(cr, scale, scale);
    cairo_pattern_t *pattern = cairo().cairo_pattern_create_for_surface(mask);
    cairo().cairo_pattern_set_filter(pattern, CAIRO_FILTER_NEAREST);
    cairo().cairo_set_source_rgb(cr, 0, 0, 0);
    cairo().cairo_mask(cr, pattern);
    if (page_full) cairo().cairo_show_page(cr);
    const bool ok = cairo().cairo_status(cr) == CAIRO_STATUS_SUCCESS && !c_->write_failed;
    cairo().cairo_pattern_destroy(pattern);
    cairo().cairo_destroy(cr);
    cairo().cairo_surface_destroy(mask);
    if (!ok) error_ = "the PDF could not be written";
    return ok;
}

bool PdfWriter::close() {
    if (c_->closed) return error_.empty();
    c_->closed = true;
    if (c_->pdf) {
        // A sheet not yet full is a page too.
        if (c_->sheet && c_->cell != 0) {
            cairo_t *cr = cairo().cairo_create(c_->pdf);
            cairo().cairo_show_page(cr);
            cairo().cairo_destroy(cr);
        }
        cairo().cairo_surface_finish(c_->pdf);
        if (cairo().cairo_surface_status(c_->pdf) != CAIRO_STATUS_SUCCESS || c_->write_failed) error_ = "the PDF could not be written";
        cairo().cairo_surface_destroy(c_->pdf);
        c_->pdf = nullptr;
    }
    if (c_->file && std::fclose(c_->file) != 0 && error_.empty()) error_ = "the PDF could not be written";
    c_->file = nullptr;
    return error_.empty();
}

}  // namespace quillbar::preview
