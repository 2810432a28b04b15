// fn_table.cpp - names of the SDK functions, in enumerator order.
#include "fn_table.h"

#include <cstring>
#include <string>
#include <unordered_map>

namespace standin {

namespace {

#define STANDIN_NAME_(name) #name,
#define STANDIN_NAME_TYPED_(ret, name, params, args) #name,
const char *const kNames[] = {
    VYCSDK_QUERY_FUNCS(STANDIN_NAME_)
    VYCSDK_COMMAND_FUNCS(STANDIN_NAME_)
    VYCSDK_TYPED_FUNCS(STANDIN_NAME_TYPED_)
    "vyi_set_event_callback_pb",
};
#undef STANDIN_NAME_
#undef STANDIN_NAME_TYPED_

static_assert(sizeof(kNames) / sizeof(kNames[0]) == kFnCount, "name table out of step with Fn");

#define STANDIN_RESULT_(name) "int",
#define STANDIN_RESULT_TYPED_(ret, name, params, args) #ret,
const char *const kResultTypes[] = {
    VYCSDK_QUERY_FUNCS(STANDIN_RESULT_)
    VYCSDK_COMMAND_FUNCS(STANDIN_RESULT_)
    VYCSDK_TYPED_FUNCS(STANDIN_RESULT_TYPED_)
    "void",
};
#undef STANDIN_RESULT_
#undef STANDIN_RESULT_TYPED_

static_assert(sizeof(kResultTypes) / sizeof(kResultTypes[0]) == kFnCount, "result table out of step with Fn");

const std::unordered_map<std::string, int> &index() {
    static const std::unordered_map<std::string, int> map = [] {
        std::unordered_map<std::string, int> m;
        for (int i = 0; i < kFnCount; ++i) m.emplace(kNames[i], i);
        return m;
    }();
    return map;
}

}  // namespace

const char *fn_name(Fn f) { return kNames[static_cast<int>(f)]; }

const char *fn_result_type(Fn f) { return kResultTypes[static_cast<int>(f)]; }

int fn_lookup(const char *name) {
    if (!name) return -1;
    auto it = index().find(name);
    return it == index().end() ? -1 : it->second;
}

}  // namespace standin
