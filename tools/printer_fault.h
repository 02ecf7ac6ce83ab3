// SPDX-License-Identifier: MIT
// A printer's fault (--fault) on --serve and --listen.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "bounds.h"
#include "preview_tool.h"

namespace quillbar::tool {

// A fault (--fault): from the N-th label on the printer reports it and keeps
// the labels instead of printing them, as a printer out of paper holds its
// labels; SIGUSR1 clears it, as replacing the roll does, and the kept labels
// print, once, in order. A kept label is only what was drawn on it,
// compressed; past the ceiling the printer takes no more bytes (full()),
// and its senders wait.
class Fault {
public:
    Fault(const Options &o, VirtualPrinter &printer, LabelWriter &writer) : o_(o), printer_(printer), writer_(writer) {
        if (o_.fault && o_.fault_from == 1) begin();
        printer_.on_label([this](const LabelView &label) { take(label); });
    }

    // After SIGUSR1; nothing before the fault has begun (a roll replaced
    // early does not prevent it running out later).
    void clear();

    // The kept labels reach the ceiling: read nothing more until it clears.
    bool full() const { return kept_bytes_ >= quillbar::preview::limits::kMaxKeptLabels; }

private:
    struct Kept {
        int width, height;              // the label's
        long x, y, drawn_w, drawn_h;    // what was drawn on it
        std::vector<unsigned char> dots;  // those dots, deflated
        long sets, copies;
        std::size_t offset;
        long number;
        std::vector<std::string> notes;

        quillbar::preview::Bitmap restore() const;
    };

    void begin();

    void take(const LabelView &label);

    const Options &o_;
    VirtualPrinter &printer_;
    LabelWriter &writer_;
    bool holding_ = false;
    bool cleared_ = false;
    std::deque<Kept> kept_;
    std::size_t kept_bytes_ = 0;
};

}  // namespace quillbar::tool
