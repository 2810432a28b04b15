// call_file.h - reading the call files the recording library writes.
//
// One JSON object per line (blank lines ignored):
//
//   {"seq":5,"fn":"vyi_get_orders_pb","args":[...],"ret":{"k":"int","v":0},
//    "res":{"set":true,"null":false,"len":3,"b64":"YWJj"}}
//
// Recordings travel between people, so everything is checked: a damaged or
// hostile line fails the whole file with its line number and what is wrong,
// and no length in it is trusted before the bytes are there.
#pragma once

#include <string>
#include <vector>

#include "replay.h"

namespace standin {

struct RecordedCall {
    long long seq = 0;
    Fn fn{};
    Recorded r;
};

// Appends the calls of a call file's text, in file order; false with
// "line N: why" in error (and out untouched) for a malformed line.
bool parse_call_text(const std::string &text, std::vector<RecordedCall> &out, std::string &error);

}  // namespace standin
