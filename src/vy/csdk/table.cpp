// table.cpp - expands sdk_table.def twice: once into the rows' specs, once
// into the method definitions, each an instantiation of its row's shape.
#include "table.hpp"

#include "bodies.hpp"
#include "shapes.hpp"
#include "sdk_functions.hpp"

namespace csdk {
namespace {

// ---- pass 1: one Spec per row ------------------------------------------------
#define CSDK_LIB_QUERY(lib) #lib
#define CSDK_LIB_COMMAND(lib) #lib
#define CSDK_LIB_TYPED(lib, ...) #lib
#define CSDK_LIB_RESPONDING(lib, ...) #lib
#define CSDK_LIB_BODY(impl, ...) ""
#define CSDK_LIB_BODY_WITH_DEFAULT(impl, required, ...) ""
#define CSDK_DOC_QUERY(lib) nullptr
#define CSDK_DOC_COMMAND(lib) nullptr
#define CSDK_DOC_TYPED(lib, ...) nullptr
#define CSDK_DOC_RESPONDING(lib, ...) nullptr
#define CSDK_DOC_BODY(impl, ...) body_doc<impl>
#define CSDK_DOC_BODY_WITH_DEFAULT(impl, required, ...) body_doc<impl>
#define CSDK_REQUIRED_QUERY(lib) -1
#define CSDK_REQUIRED_COMMAND(lib) -1
#define CSDK_REQUIRED_TYPED(lib, ...) -1
#define CSDK_REQUIRED_RESPONDING(lib, ...) -1
#define CSDK_REQUIRED_BODY(impl, ...) -1
#define CSDK_REQUIRED_BODY_WITH_DEFAULT(impl, required, ...) required
#define CSDK_PARAMS_QUERY(lib) {"req"}
#define CSDK_PARAMS_COMMAND(lib) {"req"}
#define CSDK_PARAMS_TYPED(lib, ...) {__VA_ARGS__}
#define CSDK_PARAMS_RESPONDING(lib, ...) {__VA_ARGS__}
#define CSDK_PARAMS_BODY(impl, ...) {__VA_ARGS__}
#define CSDK_PARAMS_BODY_WITH_DEFAULT(impl, required, ...) {__VA_ARGS__}

#define ROW(py, dec, shape)                                                                  \
    constexpr Spec spec_##py{#py, "c_sdk." #py, CSDK_LIB_##shape, CSDK_DOC_##shape, \
                             CSDK_REQUIRED_##shape, CSDK_PARAMS_##shape};
#include "sdk_table.def"
#undef ROW

// ---- pass 2: the method definitions -------------------------------------------
#define CSDK_SHAPE_QUERY(lib) Query, CSDK_SDK(lib)
#define CSDK_SHAPE_COMMAND(lib) Command, CSDK_SDK(lib)
#define CSDK_SHAPE_TYPED(lib, ...) Typed, CSDK_SDK(lib)
#define CSDK_SHAPE_RESPONDING(lib, ...) Responding, CSDK_SDK(lib)
#define CSDK_SHAPE_BODY(impl, ...) Named, impl
#define CSDK_SHAPE_BODY_WITH_DEFAULT(impl, required, ...) Named, impl
#define CSDK_ENTRY_(py, dec, ...) CSDK_ENTRY2_(py, dec, __VA_ARGS__)
#define CSDK_ENTRY2_(py, dec, shape, fn)                                               \
    {{#py, shape<spec_##py, fn>::C::method(), shape<spec_##py, fn>::C::flags, spec_##py.doc}, dec, \
     shape<spec_##py, fn>::request_arg},
#define ADAPT true
#define PLAIN false

}  // namespace

TableEntry g_table[] = {
#define ROW(py, dec, shape) CSDK_ENTRY_(py, dec, CSDK_SHAPE_##shape)
#include "sdk_table.def"
#undef ROW
};
const size_t g_table_size = sizeof g_table / sizeof g_table[0];

}  // namespace csdk
