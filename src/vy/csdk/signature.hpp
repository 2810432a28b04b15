// signature.hpp - inspect.Signature objects for callables written in C++, so
// inspect.signature() reports the parameters a Python definition would have.
#ifndef CSDK_SIGNATURE_HPP
#define CSDK_SIGNATURE_HPP

#include "compat.h"

namespace csdk {

/// inspect.Signature of positional-or-keyword parameters without defaults,
/// named by the NULL-terminated list `params`.  New reference, or nullptr with
/// an exception set.  `inspect` is imported on first use.
PyObject *make_signature(const char *const *params) noexcept;

/// inspect.Signature `(*args, **kwargs)`.
PyObject *make_varargs_signature() noexcept;

}  // namespace csdk

#endif  // CSDK_SIGNATURE_HPP
