// secret.h - the secrets the header marks, as the recorder sees them: the
// shared marks (vycsdk_secret.hpp), whose Secret forward() unwraps for the
// call and writes as a redacted marker, and a returned text written redacted.
#pragma once

#include "vycsdk_secret.hpp"

namespace recorder {

using vycsdk::plain;
using vycsdk::Plain;
using vycsdk::Secret;
using vycsdk::SecretResult;

// A returned text that is written redacted.
struct SecretText {
    const char *v;
};

}  // namespace recorder
