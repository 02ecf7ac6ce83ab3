// SPDX-License-Identifier: MIT
// Lines, boxes and graphics: LO, LE, LW, LS, X, GW, GM, GG, GK, GI.
#include <algorithm>

#include "machine.h"
#include "pcx.h"

namespace quillbar::preview::graphics {
namespace {

void done(Machine &m, const Cmd &c, const Fields &f) {
    if (!f.error().empty()) m.diagnose(c.offset, f.error());
}

bool outside(const Machine &m, long left, long top, long w, long h) {
    return left < 0 || top < 0 || left + w > m.state.width || top + h > m.state.length;
}

}  // namespace

// GW p1,p2,p3,p4 and its data: a bitmap of p3 bytes a row, p4 rows, a 0 bit
// black. Graphics are laid down after the other objects, in their own layer.
void write(Machine &m, Cmd &c) {
    if (!c.header || c.header->then != DataHeader::Then::read)
        return m.diagnose(c.offset, "GW: its data must follow the header at once (nothing drawn)");
    const long x = c.header->x, y = c.header->y, row_bytes = c.header->row_bytes, rows = c.header->rows;
    const std::string &data = *c.binary;
    if (m.gw_sink) m.gw_sink(GwBlock{x, y, row_bytes, rows, data});
    if (static_cast<long>(data.size()) != row_bytes * rows) return;  // skipped before: already reported
    Bitmap &layer = m.object_layer(true);
    const long left = m.state.ref_x + x, top = m.state.ref_y + y;
    if (outside(m, left, top, row_bytes * 8, rows)) m.note_outside(c.offset);
    // Only the rows and bytes that fall on the label are looked at.
    const long first_row = std::max(0L, -top), last_row = std::min(rows, static_cast<long>(layer.height()) - top);
    const long first_byte = std::max(0L, -left / 8), last_byte = std::min(row_bytes, (layer.width() - left + 7) / 8);
    for (long r = first_row; r < last_row; ++r)
        for (long b = first_byte; b < last_byte; ++b) {
            const auto byte = static_cast<unsigned char>(data[static_cast<std::size_t>(r * row_bytes + b)]);
            if (byte == 0xFF) continue;
            for (int bit = 0; bit < 8; ++bit)
                if (!(byte & (0x80 >> bit))) layer.set(left + b * 8 + bit, top + r);
        }
    m.touched();
    m.event(c.offset, "GW", std::to_string(row_bytes * 8) + "x" + std::to_string(rows) + " image at " + std::to_string(x) +
                                "," + std::to_string(y));
}

// What a stored graphic takes of the printer's memory.
static std::size_t stored_size(const std::string &name, const Bitmap &g) {
    return static_cast<std::size_t>(g.width()) * static_cast<std::size_t>(g.height()) + name.size() +
           limits::kStoredObjectCost;
}

// GM"NAME"size and a 1-bit PCX file of that size: stored under the name.
void store(Machine &m, Cmd &c) {
    if (!c.header || c.header->then != DataHeader::Then::read)
        return m.diagnose(c.offset, "GM: expected GM\"NAME\" and a size, and its data after the line");
    const std::string &name = c.header->name;
    const std::string &data = *c.binary;
    if (m.graphics.count(name))
        return m.diagnose(c.offset, "GM: a graphic is already stored as \"" + shown(name) + "\" (printer error 08; send GK first)", 8);
    PcxResult pcx = decode_pcx(reinterpret_cast<const std::uint8_t *>(data.data()), data.size());
    if (!pcx.error.empty()) return m.diagnose(c.offset, "GM \"" + shown(name) + "\": " + pcx.error);
    const std::size_t bytes = stored_size(name, pcx.image);
    if (m.graphics_bytes + bytes > limits::kMaxStoredGraphics)
        return m.diagnose(c.offset, "GM \"" + shown(name) + "\": graphics memory full (printer error 04)", 4);
    if (name.size() > 8) m.diagnose(c.offset, "GM: the name \"" + shown(name) + "\" is longer than 8 characters");
    m.event(c.offset, "GM", "store \"" + shown(name) + "\", " + std::to_string(pcx.image.width()) + "x" +
                                std::to_string(pcx.image.height()));
    m.graphics_bytes += bytes;
    m.graphics[name] = std::move(pcx.image);
}

void place(Machine &m, Cmd &c) {
    Fields f(c);
    long x, y;
    std::string name;
    if (!(f.number(0, x) && f.number(1, y) && f.data(2, name))) return done(m, c, f);
    const auto it = m.graphics.find(name);
    if (it == m.graphics.end()) return m.diagnose(c.offset, "GG: no graphic stored as \"" + shown(name) + "\"", 9);
    Bitmap &layer = m.object_layer(true);
    const long left = m.state.ref_x + x, top = m.state.ref_y + y;
    if (outside(m, left, top, it->second.width(), it->second.height())) m.note_outside(c.offset);
    layer.merge(it->second, left, top);
    m.touched();
    m.event(c.offset, "GG", "stored graphic \"" + shown(name) + "\" at " + std::to_string(x) + "," + std::to_string(y));
}

void remove(Machine &m, Cmd &c) {
    Fields f(c);
    std::string name;
    if (!f.name(0, name)) return done(m, c, f);
    const std::size_t removed = remove_named(
        m.graphics, name, m.graphics_bytes, stored_size, [](const Bitmap &) {});
    m.event(c.offset, "GK", (name == "*" ? "delete all stored graphics" : "delete \"" + shown(name) + "\"") +
                                (removed ? "" : " (none stored)"));
}

void list(Machine &m, Cmd &c) {
    std::string names;
    for (const auto &entry : m.graphics) names += " \"" + shown(entry.first) + "\"";
    m.event(c.offset, "GI", "stored graphics:" + (names.empty() ? std::string(" none") : names));
}

// LO black, LW white, LE inverted: a rectangle. LE and LW go over
// everything on the label, graphics included, in the order they came.
void lines(Machine &m, Cmd &c) {
    Fields f(c);
    long x, y, w, h;
    if (!(f.number(0, x) && f.number(1, y) && f.number(2, w) && f.number(3, h) && f.no_more_than(4))) return done(m, c, f);
    if (w < 0 || h < 0) return m.diagnose(c.offset, c.letters + ": width and height must not be negative");
    const long left = m.state.ref_x + x, top = m.state.ref_y + y;
    if (outside(m, left, top, w, h)) m.note_outside(c.offset);
    const Bitmap::Ink ink = c.letters == "LO" ? Bitmap::Ink::black : c.letters == "LW" ? Bitmap::Ink::white : Bitmap::Ink::invert;
    if (ink == Bitmap::Ink::black || m.canvas.finishing()) {
        m.object_layer(false).paint(left, top, w, h, ink);
    } else if (!m.canvas.overlay({left, top, w, h, ink})) {
        m.lenient(c.offset, c.letters, "too many LE/LW on one label: drawn where it stands");
        m.object_layer(false).paint(left, top, w, h, ink);
    }
    m.touched();
    m.event(c.offset, c.letters, std::to_string(w) + "x" + std::to_string(h) + " at " + std::to_string(x) + "," + std::to_string(y));
}

// LS x,y,t,x2,y2: a diagonal band t dots high from (x,y) to (x2,y2).
void diagonal(Machine &m, Cmd &c) {
    Fields f(c);
    long x1, y1, t, x2, y2;
    if (!(f.number(0, x1) && f.number(1, y1) && f.number(2, t) && f.number(3, x2) && f.number(4, y2))) return done(m, c, f);
    if (t < 0) return m.diagnose(c.offset, "LS: thickness must not be negative");
    if (x2 < x1) {
        std::swap(x1, x2);
        std::swap(y1, y2);
    }
    Bitmap &layer = m.object_layer(false);
    const long left = m.state.ref_x + x1, right = m.state.ref_x + x2, top = m.state.ref_y + y1, bottom = m.state.ref_y + y2;
    if (outside(m, std::min(left, right), std::min(top, bottom), std::abs(right - left) + 1, std::abs(bottom - top) + t))
        m.note_outside(c.offset);
    if (left == right) {
        layer.paint(left, std::min(top, bottom), 1, std::abs(bottom - top) + t, Bitmap::Ink::black);
    } else {
        // One column at a time, only over the columns on the label.
        const long from = std::max(left, 0L), to = std::min(right, static_cast<long>(layer.width()) - 1);
        for (long col = from; col <= to; ++col) {
            const long row = top + (bottom - top) * (col - left) / (right - left);
            layer.paint(col, row, 1, std::max(1L, t), Bitmap::Ink::black);
        }
    }
    m.touched();
    m.event(c.offset, "LS", "line " + std::to_string(x1) + "," + std::to_string(y1) + " to " + std::to_string(x2) + "," +
                                std::to_string(y2) + " thickness " + std::to_string(t));
}

// X x,y,t,x2,y2: a box outline, its thickness growing inwards. The corners
// may come in any order: the guide's own example gives the end corner above
// and left of the start.
void box(Machine &m, Cmd &c) {
    Fields f(c);
    long x1, y1, t, x2, y2;
    if (!(f.number(0, x1) && f.number(1, y1) && f.number(2, t) && f.number(3, x2) && f.number(4, y2) && f.no_more_than(5)))
        return done(m, c, f);
    if (t < 0) return m.diagnose(c.offset, "X: thickness must not be negative");
    if (x2 < x1 || y2 < y1) {
        m.lenient(c.offset, "X", "end corner above or left of the start: the corners are taken in order");
        if (x2 < x1) std::swap(x1, x2);
        if (y2 < y1) std::swap(y1, y2);
    }
    Bitmap &layer = m.object_layer(false);
    const long left = m.state.ref_x + x1, top = m.state.ref_y + y1, w = x2 - x1, h = y2 - y1;
    if (outside(m, left, top, w, h)) m.note_outside(c.offset);
    const long tw = std::min(t, w), th = std::min(t, h);
    layer.paint(left, top, w, th, Bitmap::Ink::black);
    layer.paint(left, top + h - th, w, th, Bitmap::Ink::black);
    layer.paint(left, top, tw, h, Bitmap::Ink::black);
    layer.paint(left + w - tw, top, tw, h, Bitmap::Ink::black);
    m.touched();
    m.event(c.offset, "X", "box " + std::to_string(x1) + "," + std::to_string(y1) + " to " + std::to_string(x2) + "," +
                               std::to_string(y2) + " thickness " + std::to_string(t));
}

}  // namespace quillbar::preview::graphics
