// replay_control.cpp - the control calls of session replay (see replay.h).
#include "export.h"
#include "state.h"
#include "vystandin.h"

using namespace standin;

STANDIN_EXPORT int vys_load_call_file(const char *path) {
    std::string error;
    int n = state().replay.load(path, error);
    if (n < 0) state().last_error = error;
    return n;
}

STANDIN_EXPORT int vys_pending_calls(void) { return state().replay.pending(); }
