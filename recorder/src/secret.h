// secret.h - the secrets the header marks, as the recorder sees them.
//
// The header's typed list marks each secret argument VYCSDK_SECRET(name) and
// a secret result VYCSDK_SECRET() (as the only entry). Here the mark wraps the
// argument in Secret, which forward() unwraps for the call and writes as a
// redacted marker, and the empty mark becomes the SecretResult tag, which
// marks what the function returns. Included before the header, so that every
// expansion of the list sees it.
#pragma once

namespace recorder {

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

// The argument as the library takes it.
template <class T> struct Plain { using type = T; };
template <class T> struct Plain<Secret<T>> { using type = T; };
template <class T> constexpr T plain(T v) { return v; }
template <class T> constexpr T plain(Secret<T> s) { return s.v; }

// A returned text that is written redacted.
struct SecretText {
    const char *v;
};

}  // namespace recorder

#define VYCSDK_SECRET(name) ::recorder::secret(name)
