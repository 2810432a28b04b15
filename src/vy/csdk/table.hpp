// table.hpp - the registration table, expanded (table.cpp).
#ifndef CSDK_TABLE_HPP
#define CSDK_TABLE_HPP

#include "ref.hpp"

namespace csdk {

struct TableEntry {
    PyMethodDef def;
    bool decorated;  // bound to adapt_to_python3(function)
};

/// The module-level functions in registration order.
extern TableEntry g_table[];
extern const size_t g_table_size;

}  // namespace csdk

#endif  // CSDK_TABLE_HPP
