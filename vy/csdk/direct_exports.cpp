// direct_exports.cpp - SDK functions published under their own names
// (placeholder until they are built).
#include "module.hpp"

namespace csdk {

int add_direct_exports(PyObject *) noexcept { return 0; }

}  // namespace csdk
