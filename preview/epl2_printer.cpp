// SPDX-License-Identifier: MIT
// The virtual printer's face: the machine behind it does the work.
#include "epl2_printer.h"

#include "machine.h"

namespace quillbar::preview {

Printer::Printer() : Printer(Options{limits::kDefaultMaxLabels}) {}
Printer::Printer(Options options) : m_(new Machine(options)) {}
Printer::~Printer() = default;
Printer::Printer(Printer &&) noexcept = default;
Printer &Printer::operator=(Printer &&) noexcept = default;

void Printer::set_condition(int code) { m_->condition = code; }
void Printer::stop_at(std::chrono::steady_clock::time_point when) { m_->deadline = when; }
bool Printer::stopped() const { return m_->stopped; }

void Printer::feed(const void *data, std::size_t size) { m_->feed(static_cast<const std::uint8_t *>(data), size); }
void Printer::finish() { m_->finish(); }
void Printer::on_label(std::function<void(const LabelView &)> sink) { m_->label_sink = std::move(sink); }
void Printer::on_reply(std::function<void(const std::string &)> sink) { m_->reply_sink = std::move(sink); }
void Printer::on_gw(std::function<void(const GwBlock &)> sink) { m_->gw_sink = std::move(sink); }

std::vector<PrintedLabel> Printer::take_labels() {
    std::vector<PrintedLabel> out;
    out.swap(m_->labels);
    return out;
}

const std::vector<Diagnostic> &Printer::diagnostics() const { return m_->diagnostics; }
const std::vector<Event> &Printer::events() const { return m_->events; }
std::size_t Printer::dropped_diagnostics() const { return m_->dropped_diagnostics; }
std::size_t Printer::dropped_events() const { return m_->dropped_events; }
long Printer::unrendered_labels() const { return m_->labels_unrendered; }
int Printer::width() const { return m_->state.width; }
int Printer::length() const { return m_->state.length; }
const std::map<std::string, Bitmap> &Printer::stored_graphics() const { return m_->graphics; }
const std::map<std::string, std::string> &Printer::settings() const {
    m_->settings_report = m_->state.report();
    return m_->settings_report;
}

std::vector<std::string> Printer::forms() const {
    std::vector<std::string> names;
    for (const auto &f : m_->forms) names.push_back(f.first);
    return names;
}

}  // namespace quillbar::preview
