// records.cpp - the record classes (placeholder until they are built).
#include "module.hpp"

namespace csdk {

int add_record_classes(PyObject *) noexcept { return 0; }

}  // namespace csdk
