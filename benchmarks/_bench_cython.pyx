# cython: language_level=3, boundscheck=False, wraparound=False
# _bench_cython - the benchmarked calls as a Cython binding would write them.
cdef extern from "vycsdk.h":
    int vyi_get_symbol_infos(void *req, int req_len, void **res, int *res_len)
    int vyi_set_backtest_config(const char *start_time, const char *end_time, double initial_cash,
                                double transaction_ratio, double commission_ratio, double commission_unit,
                                double slippage_ratio, double option_float_margin_ratio1,
                                double option_float_margin_ratio2, int adjust, int match_mode, int check_cache)

import vy.csdk.c_sdk as _c_sdk

cdef dict _ns = vars(_c_sdk)


def query(bytes req):
    cdef void *res = NULL
    cdef int res_len = 0
    cdef int status = vyi_get_symbol_infos(<char *>req, <int>len(req), &res, &res_len)
    if status == _ns["CSDK_OPERATE_SUCCESS"]:
        return status, (<char *>res)[:res_len]
    return status, None


def backtest_config(const char *start_time, const char *end_time, double initial_cash, double transaction_ratio,
                    double commission_ratio, double commission_unit, double slippage_ratio,
                    double option_float_margin_ratio1, double option_float_margin_ratio2, int adjust,
                    int match_mode, int check_cache):
    return vyi_set_backtest_config(start_time, end_time, initial_cash, transaction_ratio, commission_ratio,
                                   commission_unit, slippage_ratio, option_float_margin_ratio1,
                                   option_float_margin_ratio2, adjust, match_mode, check_cache)
