// SPDX-License-Identifier: MIT
// What the virtual printer will hold and do, whatever a stream claims: the
// bounds that keep any stream of N bytes within a fixed few hundred MB and
// time linear in N plus the dots actually printed. Sizes are computed here,
// in checked arithmetic, and nowhere else.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillbar::preview::limits {

// The largest label previewed: twice the widest 203-dpi head, 2 m long.
// Larger q and Q values are refused or previewed only to these sizes.
constexpr long kMaxWidth = 4096;
constexpr long kMaxLength = 16384;

// A command line without a line end longer than this is noise.
constexpr std::size_t kMaxLine = 64 * 1024;

// GW and GM data larger than this is skipped (exactly as many bytes as
// announced) and reported instead of being kept.
constexpr std::size_t kMaxBlock = 16u << 20;

// The printer's memory for stored graphics and forms (error 04 beyond).
constexpr std::size_t kMaxStoredGraphics = 64u << 20;
constexpr std::size_t kMaxForms = 1u << 20;
constexpr std::size_t kMaxSoftFonts = 1u << 20;
// What each stored graphic, soft font, form and form line costs of that memory besides
// its dots or bytes and its name, as a printer's directory entry does: a
// flood of tiny objects fills the memory, never the host's.
constexpr std::size_t kStoredObjectCost = 256;

// What soft-font text may cost in one job: the dots of each character
// looked at (a 255 x 255 character is 65,025) and the label's dots it
// covers once multiplied. Characters wholly off the label cost nothing;
// past this the job's further soft-font text is not drawn, and that is said.
constexpr long kMaxSoftFontDots = 16L << 20;

// Diagnostics and report events kept; the rest are counted.
constexpr std::size_t kMaxDiagnostics = 1000;
constexpr std::size_t kMaxEvents = 20000;

// Labels rendered from one stream unless the caller says otherwise; the
// rest are counted and reported.
constexpr long kDefaultMaxLabels = 1000;

// How deep one line may run others: a stream line, a retrieved form's line,
// a counter object drawn as its label prints. Nothing in a stream nests
// deeper on a printer; a line that would is reported and not run.
constexpr int kMaxNesting = 3;

// Inverting and erasing areas (LE, LW) kept for one label; beyond, they are
// applied where they stand in the stream.
constexpr std::size_t kMaxOverlays = 4096;
// Objects listed for a label (its report's elements); more are drawn, not listed.
constexpr std::size_t kMaxElements = 10000;

// A virtual printer that serves (--serve, --listen) holds, at most:
// - the labels a fault keeps until it clears, compressed: past this it
//   stops reading, and the sender's writes wait, as with a printer whose
//   buffer is full;
constexpr std::size_t kMaxKeptLabels = 64u << 20;
// - the bytes of one connection waiting for its turn, and of all of them:
//   past either the kernel holds the rest, and the senders wait;
constexpr std::size_t kMaxWaitingPerClient = 4u << 20;
constexpr std::size_t kMaxWaitingTotal = 32u << 20;
// - descriptors for clients: it keeps this many free for the pictures it
//   writes and its own work, and lets further clients wait to be accepted.
constexpr long kReservedDescriptors = 16;

// a * b, false when it does not fit a long.
inline bool multiply(long a, long b, long &out) { return !__builtin_mul_overflow(a, b, &out); }
inline bool add(long a, long b, long &out) { return !__builtin_add_overflow(a, b, &out); }

}  // namespace quillbar::preview::limits
