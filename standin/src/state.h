// state.h - the library's single global state.
#pragma once

#include <string>

#include "events.h"
#include "pool.h"
#include "programs.h"
#include "replay.h"
#include "sdk_header.h"

namespace standin {

struct State {
    Programs programs;
    Replay replay;  // a recorded session's results, ahead of the programs
    Pool pool;  // survives vys_reset(): callers may still hold its buffers
    EventLoop loop;
    EventCallback callback = nullptr;
    int inline_fn = -1;      // Fn whose next call delivers the queue, or -1
    std::string last_error;  // for vys_last_error()
    std::string entry;       // text returned by vys_journal_entry()
};

State &state();

}  // namespace standin
