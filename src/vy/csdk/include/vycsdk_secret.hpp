// vycsdk_secret.hpp - the header's secret marks, as the libraries built from
// the header (the stand-in, the recording library) expand them.
//
// The typed list marks each secret argument VYCSDK_SECRET(name) and a secret
// result VYCSDK_SECRET() (as the only entry).  Included before vycsdk.h, this
// turns the mark into Secret, a wrapper that the forwarding code unwraps for
// the call (plain()) and writes or journals as it must, and the empty mark
// into the SecretResult tag.  Never part of what the module includes: there
// the marks stay the plain names.
#pragma once

namespace vycsdk {

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

}  // namespace vycsdk

#define VYCSDK_SECRET(name) ::vycsdk::secret(name)
