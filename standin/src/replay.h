// replay.h - results of a recorded session, played back per SDK function in
// the order the calls were made.
//
// A call file (JSON lines written by the recording library, call_file.h)
// gives, for each call, what the library returned: status or value, returned
// text, response and out-text. While a call file is loaded the next call of a
// function takes the next recorded result of that function instead of its
// program; once they run out the programs answer again. Timers are not
// started during a replay: the recorded events already hold every timer event
// the library delivered.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "fn_table.h"
#include "programs.h"

namespace standin {

struct Recorded {
    enum Ret { kNone, kInt, kDouble, kText } ret = kNone;
    long long i = 0;
    double d = 0;
    Text text;
    bool res_set = false;
    Response res;
    bool out_set = false;
    Text out;
    // Bit n: element n of the call's arguments was recorded redacted.
    std::uint64_t redacted_args = 0;
};

class Replay {
public:
    void reset();
    bool active() const { return active_; }
    // Appends a file's calls (ordered by their sequence numbers) and returns
    // how many; -1 with a message naming the file and line, nothing queued.
    int load(const char *path, std::string &error);
    std::optional<Recorded> next(Fn f);
    int pending() const;

private:
    bool active_ = false;
    std::vector<std::deque<Recorded>> queues_;
};

}  // namespace standin
