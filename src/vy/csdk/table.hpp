// table.hpp - the registration table, expanded (table.cpp).
#ifndef CSDK_TABLE_HPP
#define CSDK_TABLE_HPP

#include <cstdint>

#include "ref.hpp"

namespace csdk {

struct TableEntry {
    PyMethodDef def;  // first: a function's method definition leads to its row
    bool decorated;   // bound to adapt_to_python3(function)
    bool request_arg;  // its one argument is a request (the serialized shapes)
};

/// The module-level functions in registration order.
extern TableEntry g_table[];
extern const size_t g_table_size;

/// Whether the built-in function `func` is one of the table's functions
/// whose one argument is a request.
inline bool is_request_function(PyObject *func) noexcept {
    auto row = reinterpret_cast<uintptr_t>(reinterpret_cast<PyCFunctionObject *>(func)->m_ml);
    auto first = reinterpret_cast<uintptr_t>(g_table), end = reinterpret_cast<uintptr_t>(g_table + g_table_size);
    return row >= first && row < end && reinterpret_cast<const TableEntry *>(row)->request_arg;
}

}  // namespace csdk

#endif  // CSDK_TABLE_HPP
