// fn_table.h - one enumerator per SDK function, generated from the header's lists.
#pragma once

#include "sdk_header.h"

namespace standin {

#define STANDIN_ENUM_(name) name,
#define STANDIN_ENUM_TYPED_(ret, name, params, args) name,
enum class Fn : int {
    VYCSDK_QUERY_FUNCS(STANDIN_ENUM_)
    VYCSDK_COMMAND_FUNCS(STANDIN_ENUM_)
    VYCSDK_TYPED_FUNCS(STANDIN_ENUM_TYPED_)
    vyi_set_event_callback_pb,
    count_
};
#undef STANDIN_ENUM_
#undef STANDIN_ENUM_TYPED_

constexpr int kFnCount = static_cast<int>(Fn::count_);

const char *fn_name(Fn f);
// The C result type as the header spells it ("int", "long long", "const char *", "void", ...).
const char *fn_result_type(Fn f);
// -1 for a name that is not an SDK function (or NULL).
int fn_lookup(const char *name);

}  // namespace standin
