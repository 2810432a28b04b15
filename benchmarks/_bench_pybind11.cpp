// _bench_pybind11 - the benchmarked calls as a pybind11 binding would write them.
#include <pybind11/pybind11.h>

#include "vycsdk.h"

namespace py = pybind11;

PYBIND11_MODULE(_bench_pybind11, m) {
    py::dict ns = py::module_::import("vy.csdk.c_sdk").attr("__dict__");
    m.def("query", [ns](py::bytes req) -> py::tuple {
        std::string_view view = req;
        void *res = nullptr;
        int res_len = 0;
        int status = vyi_get_symbol_infos(const_cast<char *>(view.data()), static_cast<int>(view.size()), &res,
                                          &res_len);
        if (py::int_(status).equal(ns["CSDK_OPERATE_SUCCESS"]))
            return py::make_tuple(status, py::bytes(static_cast<const char *>(res), res_len));
        return py::make_tuple(status, py::none());
    });
    m.def("backtest_config", &vyi_set_backtest_config, py::arg("start_time"), py::arg("end_time"),
          py::arg("initial_cash"), py::arg("transaction_ratio"), py::arg("commission_ratio"),
          py::arg("commission_unit"), py::arg("slippage_ratio"), py::arg("option_float_margin_ratio1"),
          py::arg("option_float_margin_ratio2"), py::arg("adjust"), py::arg("match_mode"), py::arg("check_cache"));
}
