// module.hpp - the initialisation steps that live beside their concerns.
#ifndef CSDK_MODULE_HPP
#define CSDK_MODULE_HPP

#include "ref.hpp"

namespace csdk {

/// Creates the record classes and binds them in the module namespace
/// (records.cpp).
int add_record_classes(PyObject *dict) noexcept;

/// Publishes the direct exports as module attributes (direct_exports.cpp).
int add_direct_exports(PyObject *dict) noexcept;

}  // namespace csdk

#endif  // CSDK_MODULE_HPP
