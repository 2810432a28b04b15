// event_file.cpp - parser of the event file.
//
// Format: UTF-8 text, one event per line:
//
//     <time_ms> <msg_type> <payload>
//
// time_ms   a non-negative decimal integer: simulated time in milliseconds.
// msg_type  a run of non-space characters, after one or more spaces.
// payload   the rest of the line after ONE separating space; may be empty
//           (and the space then omitted) and may contain spaces. Escapes:
//           \\  \n  \r  \t  \0  \xHH (exactly two hex digits), so any bytes
//           can be written. Any other backslash sequence is an error.
//
// Blank lines (only spaces/tabs) and lines starting with '#' are ignored. A
// CR before the line feed is dropped, so CRLF files read the same. A
// malformed line fails the whole load with its line number; nothing is queued.
#include "event_file.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>

namespace standin {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool unescape(const std::string &in, std::string &out, std::string &why) {
    out.clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i == in.size()) {
            why = "backslash at end of line";
            return false;
        }
        switch (in[i]) {
        case '\\': out += '\\'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case '0': out += '\0'; break;
        case 'x': {
            int hi = i + 1 < in.size() ? hex_value(in[i + 1]) : -1;
            int lo = i + 2 < in.size() ? hex_value(in[i + 2]) : -1;
            if (hi < 0 || lo < 0) {
                why = "\\x needs two hex digits";
                return false;
            }
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
            break;
        }
        default:
            why = std::string("unknown escape \\") + in[i];
            return false;
        }
    }
    return true;
}

bool blank(const std::string &line) { return line.find_first_not_of(" \t") == std::string::npos; }

bool parse_line(const std::string &line, Event &e, std::string &why) {
    std::size_t i = 0;
    long long t = 0;
    if (i == line.size() || line[i] < '0' || line[i] > '9') {
        why = "expected a non-negative time in ms";
        return false;
    }
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
        int d = line[i] - '0';
        if (t > (LLONG_MAX - d) / 10) {
            why = "time out of range";
            return false;
        }
        t = t * 10 + d;
    }
    if (i == line.size()) {
        why = "missing message type";
        return false;
    }
    if (line[i] != ' ') {
        why = "expected a space after the time";
        return false;
    }
    while (i < line.size() && line[i] == ' ') ++i;
    std::size_t type_begin = i;
    while (i < line.size() && line[i] != ' ') {
        if (static_cast<unsigned char>(line[i]) < 0x20 || line[i] == 0x7f) {
            why = "control character in the message type";
            return false;
        }
        ++i;
    }
    if (i == type_begin) {
        why = "missing message type";
        return false;
    }
    std::string payload;
    if (i < line.size() && !unescape(line.substr(i + 1), payload, why)) return false;
    e = Event{};
    e.time_ms = t;
    e.type = line.substr(type_begin, i - type_begin);
    e.data = std::move(payload);
    e.len = static_cast<int>(e.data.size());
    return true;
}

}  // namespace

bool parse_event_text(const std::string &text, std::vector<Event> &out, std::string &error) {
    std::vector<Event> events;
    std::size_t pos = 0;
    for (int number = 1; pos < text.size(); ++number) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (blank(line) || line[0] == '#') continue;
        Event e;
        std::string why;
        if (!parse_line(line, e, why)) {
            error = "line " + std::to_string(number) + ": " + why;
            return false;
        }
        events.push_back(std::move(e));
    }
    for (auto &e : events) out.push_back(std::move(e));
    return true;
}

bool load_event_file(const char *path, std::vector<Event> &out, std::string &error) {
    if (!path) {
        error = "no event file path";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = std::string(path) + ": cannot open: " + std::strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (!parse_event_text(text.str(), out, error)) {
        error = std::string(path) + ": " + error;
        return false;
    }
    return true;
}

}  // namespace standin
