// SPDX-License-Identifier: MIT
// libFuzzer target: what comes back from a printer, or from anything posing
// as one on the network, read as the status query reads it. The input is
// cut into the pieces the line delivers; every answer taken must be a
// printer's two-digit code, and what the reader keeps stays bounded,
// whatever the bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "connection/answers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    quillbar::AnswerReader reader;
    while (in.remaining_bytes() > 0) {
        const std::string piece = in.ConsumeRandomLengthString(512);
        reader.add(piece.data(), piece.size());
        for (int code; reader.next(code);)
            if (code < 0 || code > 99) std::abort();
    }
    // A line on its own, as a whole answer.
    const std::string line(reinterpret_cast<const char *>(data), size);
    int code = -1;
    if (quillbar::parse_status_answer(line, code) && (code < 0 || code > 99)) std::abort();
    return 0;
}
