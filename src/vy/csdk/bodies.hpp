// bodies.hpp - the named bodies of the registration table: module functions
// that fit no calling shape.  Each takes the arguments as parsed by its row's
// calling convention.
#ifndef CSDK_BODIES_HPP
#define CSDK_BODIES_HPP

#include "ref.hpp"

namespace csdk {

// platform.cpp
PyObject *is_windows(PyObject *const *objs) noexcept;
PyObject *is_linux(PyObject *const *objs) noexcept;
// decorator.cpp
PyObject *adapt_to_python3(PyObject *const *objs) noexcept;
// status.cpp
PyObject *c_status_ok(PyObject *const *objs) noexcept;
PyObject *c_status_fail(PyObject *const *objs) noexcept;
// calls.cpp
PyObject *current(PyObject *const *objs) noexcept;
PyObject *get_serv_addr(PyObject *const *objs) noexcept;
PyObject *set_version(PyObject *const *objs) noexcept;
PyObject *algo_order_batch(PyObject *const *objs) noexcept;
// event_bridge.cpp
PyObject *set_data_callback(PyObject *const *objs) noexcept;

/// Docstrings of the named bodies that have one.
template <PyObject *(*Impl)(PyObject *const *)>
constexpr const char *body_doc = nullptr;
template <>
constexpr const char *body_doc<adapt_to_python3> = "\n     装饰器：使本模块同时支持python3与python2\n     ";
template <>
constexpr const char *body_doc<c_status_ok> = "\n    c api 调用返回值status是否ok\n    ";
template <>
constexpr const char *body_doc<c_status_fail> = "\n    c api 调用返回值status是否fail\n    ";

}  // namespace csdk

#endif  // CSDK_BODIES_HPP
