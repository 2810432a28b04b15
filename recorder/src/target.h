// target.h - the real library behind the recorder: loaded once when the
// recorder is loaded, one resolved entry per SDK function of the header.
#pragma once

#include "secret.h"  // first: it defines how the header marks secrets
#include "vycsdk.h"

namespace recorder {

#define RECORDER_ENUM_(name) name,
#define RECORDER_ENUM_TYPED_(ret, name, params, args) name,
enum class Fn : int {
    VYCSDK_QUERY_FUNCS(RECORDER_ENUM_)
    VYCSDK_COMMAND_FUNCS(RECORDER_ENUM_)
    VYCSDK_TYPED_FUNCS(RECORDER_ENUM_TYPED_)
    vyi_set_event_callback_pb,
    count_
};
#undef RECORDER_ENUM_
#undef RECORDER_ENUM_TYPED_

constexpr int kFnCount = static_cast<int>(Fn::count_);

// The target's functions by Fn; nullptr where the target could not provide
// one (then the call returns an error status).
extern void *g_target_fns[kFnCount];

#define RECORDER_NAME_(name) #name,
#define RECORDER_NAME_TYPED_(ret, name, params, args) #name,
inline constexpr const char *kFnNames[] = {
    VYCSDK_QUERY_FUNCS(RECORDER_NAME_)
    VYCSDK_COMMAND_FUNCS(RECORDER_NAME_)
    VYCSDK_TYPED_FUNCS(RECORDER_NAME_TYPED_)
    "vyi_set_event_callback_pb",
};
#undef RECORDER_NAME_
#undef RECORDER_NAME_TYPED_

static_assert(sizeof(kFnNames) / sizeof(kFnNames[0]) == kFnCount, "name table out of step with Fn");

constexpr const char *fn_name(Fn f) { return kFnNames[static_cast<int>(f)]; }

// Loads VY_RECORD_TARGET; any problem is one line on stderr.
void load_target();
// The library loaded, or nullptr when none could be.
const char *target_path();

}  // namespace recorder
