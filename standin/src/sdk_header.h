// sdk_header.h - the SDK header as the stand-in expands it, with the shared
// secret marks (vycsdk_secret.hpp): sdk_call unwraps a Secret, and the
// journal of a replay shows it redacted where the recording had it redacted.
// Every stand-in source reaches the header through this file, so all
// expansions see the same marks.
#pragma once

#include "vycsdk_secret.hpp"

namespace standin {

using vycsdk::plain;
using vycsdk::Secret;
using vycsdk::SecretResult;

}  // namespace standin

#include "vycsdk.h"
