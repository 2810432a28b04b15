// sdk_header.h - the SDK header as the stand-in expands it.
//
// The header's typed list marks secret arguments VYCSDK_SECRET(name) and a
// secret result VYCSDK_SECRET() (as the only entry). Here the mark wraps the
// argument in Secret, which sdk_call unwraps, and which the journal of a
// replay shows redacted where the recording had it redacted; the empty mark
// becomes the SecretResult tag. Every stand-in source reaches the header
// through this file, so all expansions see the same marks.
#pragma once

namespace standin {

template <class T>
struct Secret {
    T v;
};

struct SecretResult {};

template <class T>
constexpr Secret<T> secret(T v) {
    return {v};
}
constexpr SecretResult secret() { return {}; }

template <class T> constexpr T plain(T v) { return v; }
template <class T> constexpr T plain(Secret<T> s) { return s.v; }

}  // namespace standin

#define VYCSDK_SECRET(name) ::standin::secret(name)
#include "vycsdk.h"
