// SPDX-License-Identifier: MIT
// The virtual printer's face: the machine behind it does the work.
#include "epl2_printer.h"

#include "machine.h"

namespace quillbar::preview {

VirtualPrinter::VirtualPrinter() : VirtualPrinter(Options{limits::kDefaultMaxLabels}) {}
VirtualPrinter::VirtualPrinter(Options options) : m_(new Machine(options)) {}
VirtualPrinter::~VirtualPrinter() = default;
VirtualPrinter::VirtualPrinter(VirtualPrinter &&) noexcept = default;
VirtualPrinter &VirtualPrinter::operator=(VirtualPrinter &&) noexcept = default;

void VirtualPrinter::set_condition(int code) { m_->condition = code; }
void VirtualPrinter::stop_at(std::chrono::steady_clock::time_point when) { m_->deadline = when; }
bool VirtualPrinter::stopped() const { return m_->stopped; }

void VirtualPrinter::feed(const void *data, std::size_t size) { m_->feed(static_cast<const std::uint8_t *>(data), size); }
void VirtualPrinter::finish() { m_->finish(); }
void VirtualPrinter::on_label(std::function<void(const LabelView &)> sink) { m_->label_sink = std::move(sink); }
void VirtualPrinter::on_reply(std::function<void(const std::string &)> sink) { m_->reply_sink = std::move(sink); }
void VirtualPrinter::on_gw(std::function<void(const GwBlock &)> sink) { m_->gw_sink = std::move(sink); }

std::vector<PrintedLabel> VirtualPrinter::take_labels() {
    std::vector<PrintedLabel> out;
    out.swap(m_->labels);
    return out;
}

const std::vector<Diagnostic> &VirtualPrinter::diagnostics() const { return m_->diagnostics; }
const std::vector<Event> &VirtualPrinter::events() const { return m_->events; }
std::size_t VirtualPrinter::dropped_diagnostics() const { return m_->dropped_diagnostics; }
std::size_t VirtualPrinter::dropped_events() const { return m_->dropped_events; }
long VirtualPrinter::unrendered_labels() const { return m_->labels_unrendered; }
int VirtualPrinter::width() const { return m_->state.width; }
int VirtualPrinter::length() const { return m_->state.length; }
const std::map<std::string, Bitmap> &VirtualPrinter::stored_graphics() const { return m_->graphics; }
const std::map<std::string, std::string> &VirtualPrinter::settings() const {
    m_->settings_report = m_->state.report();
    return m_->settings_report;
}

std::vector<std::string> VirtualPrinter::forms() const {
    std::vector<std::string> names;
    for (const auto &f : m_->forms) names.push_back(f.first);
    return names;
}

}  // namespace quillbar::preview
