// SPDX-License-Identifier: MIT
#include "pdf.h"

#include <cairo-pdf.h>
#include <cairo.h>

#include <cstdint>
#include <cstdio>

namespace quillbar::preview {

struct PdfWriter::Cairo {
    cairo_surface_t *pdf = nullptr;
    FILE *file = nullptr;
    std::vector<unsigned char> *memory = nullptr;
    double points_per_dot = 72.0 / 25.4 / 8;
    bool write_failed = false;
    bool closed = false;
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
    c_->file = std::fopen(path.c_str(), "wb");
    if (!c_->file) error_ = "cannot write " + path;
    c_->points_per_dot = 72.0 / 25.4 / dots_per_mm;
}

PdfWriter::PdfWriter(std::vector<unsigned char> &out, int dots_per_mm) : c_(new Cairo) {
    c_->memory = &out;
    c_->points_per_dot = 72.0 / 25.4 / dots_per_mm;
}

PdfWriter::~PdfWriter() { close(); }

bool PdfWriter::add(const Bitmap &label) {
    if (!error_.empty() || c_->closed) return false;
    const double w = label.width() * c_->points_per_dot, h = label.height() * c_->points_per_dot;
    if (!c_->pdf) {
        c_->pdf = cairo_pdf_surface_create_for_stream(write_to, c_.get(), w, h);
    } else {
        cairo_pdf_surface_set_size(c_->pdf, w, h);
    }
    // The label as a 1-bit mask, black where it is black: cairo packs A1
    // pixels into 32-bit words in the machine's own bit order.
    cairo_surface_t *mask = cairo_image_surface_create(CAIRO_FORMAT_A1, label.width(), label.height());
    if (cairo_surface_status(mask) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(mask);
        error_ = "no memory for a page of " + std::to_string(label.width()) + " x " + std::to_string(label.height());
        return false;
    }
    cairo_surface_flush(mask);
    unsigned char *data = cairo_image_surface_get_data(mask);
    const int stride = cairo_image_surface_get_stride(mask);
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
    cairo_surface_mark_dirty(mask);
    cairo_t *cr = cairo_create(c_->pdf);
    cairo_scale(cr, c_->points_per_dot, c_->points_per_dot);
    cairo_pattern_t *pattern = cairo_pattern_create_for_surface(mask);
    cairo_pattern_set_filter(pattern, CAIRO_FILTER_NEAREST);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_mask(cr, pattern);
    cairo_show_page(cr);
    const bool ok = cairo_status(cr) == CAIRO_STATUS_SUCCESS && !c_->write_failed;
    cairo_pattern_destroy(pattern);
    cairo_destroy(cr);
    cairo_surface_destroy(mask);
    if (!ok) error_ = "the PDF could not be written";
    return ok;
}

bool PdfWriter::close() {
    if (c_->closed) return error_.empty();
    c_->closed = true;
    if (c_->pdf) {
        cairo_surface_finish(c_->pdf);
        if (cairo_surface_status(c_->pdf) != CAIRO_STATUS_SUCCESS || c_->write_failed) error_ = "the PDF could not be written";
        cairo_surface_destroy(c_->pdf);
        c_->pdf = nullptr;
    }
    if (c_->file && std::fclose(c_->file) != 0 && error_.empty()) error_ = "the PDF could not be written";
    c_->file = nullptr;
    return error_.empty();
}

}  // namespace quillbar::preview
