// sdk.cpp - every SDK function, expanded from the header's lists onto the
// shared recording body.
#include "call.h"
#include "export.h"

using standin::Fn;
using standin::sdk_call;

#define STANDIN_DEFINE_QUERY_(name)                                       \
    STANDIN_EXPORT int name(void *req, int req_len, void **res, int *res_len) { \
        return sdk_call<Fn::name, int>(req, req_len, res, res_len);       \
    }
#define STANDIN_DEFINE_COMMAND_(name)                                     \
    STANDIN_EXPORT int name(void *req, int req_len) { return sdk_call<Fn::name, int>(req, req_len); }
// `args` is the parenthesised argument list, so it closes the call itself.
#define STANDIN_DEFINE_TYPED_(ret, name, params, args) \
    STANDIN_EXPORT ret name params { return sdk_call<Fn::name, ret> args; }

VYCSDK_QUERY_FUNCS(STANDIN_DEFINE_QUERY_)
VYCSDK_COMMAND_FUNCS(STANDIN_DEFINE_COMMAND_)
VYCSDK_TYPED_FUNCS(STANDIN_DEFINE_TYPED_)

STANDIN_EXPORT void vyi_set_event_callback_pb(EventCallback cb) {
    sdk_call<Fn::vyi_set_event_callback_pb, void>(cb);
}
