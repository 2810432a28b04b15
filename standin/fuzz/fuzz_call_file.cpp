// fuzz_call_file.cpp - the call file reader on arbitrary bytes: it may refuse
// them, with a line number, but never crash, over-read, hang or allocate what
// a length in the file claims before the bytes are there.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "call_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::vector<standin::RecordedCall> calls;
    std::string error;
    if (standin::parse_call_text(std::string(reinterpret_cast<const char *>(data), size), calls, error)) {
        // Decoded bytes come from the input; only a redacted text (as many
        // '*' as its length, at most 1 MiB) can be longer.
        auto too_long = [&](std::size_t n) { return n > size && n > (std::size_t{1} << 20); };
        for (const auto &c : calls)
            if (too_long(c.r.res.bytes.size()) || too_long(c.r.text.s.size()) || too_long(c.r.out.s.size()))
                __builtin_trap();
    } else if (error.compare(0, 5, "line ") != 0 || !calls.empty()) {
        __builtin_trap();  // a refusal names its line and returns nothing
    }
    return 0;
}
