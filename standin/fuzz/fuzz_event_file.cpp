// fuzz_event_file.cpp - the event file reader on arbitrary bytes: it may
// refuse them, with a line number, but never crash, over-read or hang.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "event_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::vector<standin::Event> events;
    std::string error;
    if (standin::parse_event_text(std::string(reinterpret_cast<const char *>(data), size), events, error)) {
        for (const auto &e : events)
            if (e.len != static_cast<int>(e.data.size()) || e.time_ms < 0) __builtin_trap();
    } else if (error.compare(0, 5, "line ") != 0 || !events.empty()) {
        __builtin_trap();  // a refusal names its line and queues nothing
    }
    return 0;
}
