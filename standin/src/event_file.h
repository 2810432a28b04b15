// event_file.h - reading queued events from a text file.
#pragma once

#include <string>
#include <vector>

#include "events.h"

namespace standin {

// Both return false with a message in `error` (naming the line for a malformed
// one) and leave `out` untouched on failure; on success they append to `out`.
bool parse_event_text(const std::string &text, std::vector<Event> &out, std::string &error);
bool load_event_file(const char *path, std::vector<Event> &out, std::string &error);

}  // namespace standin
