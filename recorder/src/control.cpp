// control.cpp - the recorder's control API (vyr_*, see recorder/README.md):
// moving the recording to other files while the process goes on, so that a
// test runner can give each test a recording of its own.
#include <stdio.h>
#include <string.h>

#include "record.h"

#define RECORDER_EXPORT extern "C" __attribute__((visibility("default")))

namespace recorder {
namespace {

// Control calls come from the test runner's thread, one at a time.
char g_last_error[1024];

void close_records() {
    g_rec.events.close();
    g_rec.calls.close();
}

}  // namespace
}  // namespace recorder

using namespace recorder;

RECORDER_EXPORT int vyr_start(const char *events, const char *calls) {
    close_records();
    // Each recording is a session of its own: times from its first event,
    // sequence numbers from 0.
    g_rec.first_event_ns = -1;
    g_rec.next_seq.store(0, std::memory_order_relaxed);
    g_last_error[0] = 0;
    if (open_records(events && *events ? events : nullptr, calls && *calls ? calls : nullptr, g_last_error,
                     sizeof g_last_error))
        return 0;
    close_records();
    return -1;
}

RECORDER_EXPORT int vyr_stop(void) {
    close_records();
    return 0;
}

RECORDER_EXPORT int vyr_recording(void) { return g_rec.events.on() || g_rec.calls.on(); }

RECORDER_EXPORT const char *vyr_last_error(void) { return g_last_error; }

RECORDER_EXPORT const char *vyr_target(void) { return target_path(); }
