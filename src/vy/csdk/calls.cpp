// calls.cpp - the SDK calls that fit no calling shape.
#include "bodies.hpp"
#include "convert.hpp"
#include "state.hpp"
#include "sdk_functions.hpp"

namespace csdk {

// Not table-driven because its C argument order differs from the Python one:
// include_call_auction is converted and passed second, fields third.
PyObject *current(PyObject *const *objs) noexcept {
    TextArg symbols, fields;
    BoolArg include_call_auction;
    if (symbols.set(objs[0]) < 0 || include_call_auction.set(objs[2]) < 0 || fields.set(objs[1]) < 0)
        return nullptr;
    auto fn = CSDK_SDK(vyi_current_pb)::get();
    if (!fn)
        return nullptr;
    void *res = nullptr;
    int res_len = 0;
    LibraryCall call;
    int status = call([&] {
        return fn(symbols.value(), include_call_auction.value(), fields.value(), &res, &res_len);
    });
    return call.finish(response_pair(call, status, res, res_len, "vyi_current_pb"));
}

// Not table-driven because it returns the address itself, or None on failure,
// never the status.
PyObject *get_serv_addr(PyObject *const *objs) noexcept {
    TextArg serv_id;
    if (serv_id.set(objs[0]) < 0)
        return nullptr;
    auto fn = CSDK_SDK(vyi_get_serv_addr)::get();
    if (!fn)
        return nullptr;
    char *addr = nullptr;
    LibraryCall call;
    int status = call([&] { return fn(serv_id.value(), &addr); });
    Ref st = Ref::steal(PyLong_FromLong(status));
    if (!st)
        return call.finish(nullptr);
    Ref text;
    int ok = read_on_success(call, st.get(), status, Py_NE, [&]() noexcept { return text_result(addr); }, text);
    if (ok < 0)
        return call.finish(nullptr);
    return call.finish(ok ? text.release() : Ref::borrow(Py_None).release());
}

// Not table-driven because the library's third and fourth parameters are
// always passed as NULL.
PyObject *set_version(PyObject *const *objs) noexcept {
    TextArg sdk_version, sdk_lang;
    if (sdk_version.set(objs[0]) < 0 || sdk_lang.set(objs[1]) < 0)
        return nullptr;
    auto fn = CSDK_SDK(vyi_set_version)::get();
    if (!fn)
        return nullptr;
    LibraryCall call;
    call([&] { fn(sdk_version.value(), sdk_lang.value(), nullptr, nullptr); });
    return call.finish(Ref::borrow(Py_None).release());
}

// Not table-driven because its request pair and response pair sit around two
// text arguments.
PyObject *algo_order_batch(PyObject *const *objs) noexcept {
    RequestArg req;
    TextArg algo_name, algo_params;
    if (req.set(objs[0]) < 0 || algo_name.set(objs[1]) < 0 || algo_params.set(objs[2]) < 0)
        return nullptr;
    auto fn = CSDK_SDK(vyi_algo_order_batch_pb)::get();
    if (!fn)
        return nullptr;
    void *res = nullptr;
    int res_len = 0;
    LibraryCall call;
    int status = call([&] {
        return fn(req.data(), req.size(), algo_name.value(), algo_params.value(), &res, &res_len);
    });
    return call.finish(response_pair(call, status, res, res_len, "vyi_algo_order_batch_pb"));
}

}  // namespace csdk
