"""Typed calls: session settings, run control, backtest, algorithmic orders
and the message bus.  Each family is one table of calls checked through the
stand-in's journal (function, C argument order, every converted value) and
the result; then the converters by kind, the calling forms, the response
pairs, the cases that could crash (run in a subprocess) and, on the debug
interpreter, reference leaks."""
import ast
import decimal
import math
import warnings
from typing import Any, NamedTuple, Optional

import pytest

from conftest import c_sdk, needs_debug_build, raising, refcount_growth, run_python

OUT = "out"
INT_MAX = 2**31 - 1
INT_MIN = -2**31


# ---- helpers ------------------------------------------------------------------


def fail_with(exc):
    """Raises a fresh copy: re-raising one instance would grow its traceback."""
    raise type(exc)(*exc.args)


class Raises(NamedTuple):
    exc: type
    match: Optional[str] = None


class Row(NamedTuple):
    id: str
    name: str            # module function
    args: tuple
    kwargs: dict
    libfn: Optional[str]  # library function programmed (and expected in the journal)
    seen: Optional[list]  # decoded C arguments the library got; None: refused before the call
    result: Any           # the return value, or Raises
    status: Optional[int] = None
    text: Optional[bytes] = None
    response: Optional[bytes] = None


def call(name, *args, **kwargs):
    return name, args, kwargs


def ok(id, c, libfn, seen, result, *, status=None, text=None, response=None):
    return Row(id, c[0], c[1], c[2], libfn, seen, result, status, text, response)


def refused(id, c, exc, match=None):
    return Row(id, c[0], c[1], c[2], None, None, Raises(exc, match))


def same(actual, expected):
    """Equality that also demands the same type at every level (True is not 1,
    1.0 is not 1) and takes nan as equal to nan."""
    if isinstance(expected, (tuple, list)):
        return (type(actual) is type(expected) and len(actual) == len(expected)
                and all(same(a, e) for a, e in zip(actual, expected)))
    if type(actual) is not type(expected):
        return False
    if isinstance(expected, float) and math.isnan(expected):
        return math.isnan(actual)
    return actual == expected


def program(lib, libfn, status=None, text=None, response=None):
    if status is not None:
        lib.set_status(libfn, status)
    if text is not None:
        lib.set_text(libfn, text)
    if response is not None:
        lib.set_response(libfn, response)


def check_row(lib, row):
    if row.libfn:
        program(lib, row.libfn, row.status, row.text, row.response)
    fn = getattr(c_sdk, row.name)
    if isinstance(row.result, Raises):
        with pytest.raises(row.result.exc, match=row.result.match):
            fn(*row.args, **row.kwargs)
        assert lib.journal() == [], "a refused call must not reach the library"
        return
    result = fn(*row.args, **row.kwargs)
    assert same(result, row.result), f"result {result!r}, expected {row.result!r}"
    calls = lib.journal()
    assert [c.fn for c in calls] == [row.libfn]
    assert same(calls[0].args, row.seen), f"library got {calls[0].args!r}, expected {row.seen!r}"


def params(rows):
    ids = [r.id for r in rows]
    assert len(ids) == len(set(ids)), "duplicate row ids"
    return pytest.mark.parametrize("row", [pytest.param(r, id=r.id) for r in rows])


# ---- session, identity and connection settings ------------------------------------

SESSION = [
    ok("get_serv_addr default", call("py_vyi_get_serv_addr", b"sid"),
       "vyi_get_serv_addr", [b"sid", OUT], b"127.0.0.1:7001"),
    ok("get_serv_addr programmed", call("py_vyi_get_serv_addr", b"trade"),
       "vyi_get_serv_addr", [b"trade", OUT], b"10.1.2.3:9000", text=b"10.1.2.3:9000"),
    ok("get_serv_addr str", call("py_vyi_get_serv_addr", "data"),
       "vyi_get_serv_addr", [b"data", OUT], b"h:1", text=b"h:1"),
    ok("get_serv_addr empty address", call("py_vyi_get_serv_addr", b"x"),
       "vyi_get_serv_addr", [b"x", OUT], b"", text=b""),
    ok("get_serv_addr failure is None", call("py_vyi_get_serv_addr", b"x"),
       "vyi_get_serv_addr", [b"x", OUT], None, status=3, text=b"h:1"),
    ok("get_serv_addr negative failure is None", call("py_vyi_get_serv_addr", b"x"),
       "vyi_get_serv_addr", [b"x", OUT], None, status=-1),
    refused("get_serv_addr int", call("py_vyi_get_serv_addr", 1), TypeError, "expected bytes, int found"),
    ok("set_strategy_id bytes", call("py_vyi_set_strategy_id", b"strat-1"),
       "vyi_set_strategy_id", [b"strat-1"], None),
    ok("set_strategy_id str", call("py_vyi_set_strategy_id", "strat-2"),
       "vyi_set_strategy_id", [b"strat-2"], None),
    ok("set_token", call("py_vyi_set_token", b"tok"), "vyi_set_token", [b"tok"], 0),
    ok("set_token str", call("py_vyi_set_token", "tok"), "vyi_set_token", [b"tok"], 0),
    ok("set_token status returned", call("py_vyi_set_token", b"tok"),
       "vyi_set_token", [b"tok"], 1027, status=1027),
    ok("set_token negative status", call("py_vyi_set_token", b"tok"),
       "vyi_set_token", [b"tok"], -2, status=-2),
    refused("set_token non-ascii", call("py_vyi_set_token", "t\u00e9"), UnicodeEncodeError),
    ok("get_encrypted_token default", call("py_vyi_get_encrypted_token"),
       "vyi_get_encrypted_token", [], b"stand-in get_encrypted_token"),
    ok("get_encrypted_token programmed", call("py_vyi_get_encrypted_token"),
       "vyi_get_encrypted_token", [], b"\x01enc\xff", text=b"\x01enc\xff"),
    ok("get_encrypted_token empty", call("py_vyi_get_encrypted_token"),
       "vyi_get_encrypted_token", [], b"", text=b""),
    ok("get_orgcode", call("py_vyi_get_orgcode"), "vyi_get_orgcode", [], b"org-7", text=b"org-7"),
    refused("get_orgcode with argument", call("py_vyi_get_orgcode", b"x"), TypeError, "takes no arguments"),
    ok("set_mfp", call("py_vyi_set_mfp", b"mfp;1"), "vyi_set_mfp", [b"mfp;1"], None),
    ok("set_mfp str", call("py_vyi_set_mfp", "mfp;2"), "vyi_set_mfp", [b"mfp;2"], None),
    ok("set_apitoken", call("py_vyi_set_apitoken", bytearray(b"api")), "vyi_set_apitoken", [b"api"], None),
    ok("set_apitoken str", call("py_vyi_set_apitoken", "api"), "vyi_set_apitoken", [b"api"], None),
    ok("set_serv_addr", call("py_vyi_set_serv_addr", b"h:1"), "vyi_set_serv_addr", [b"h:1"], None),
    ok("set_serv_addr str", call("py_vyi_set_serv_addr", "h:2"), "vyi_set_serv_addr", [b"h:2"], None),
    ok("set_ctp_md_info", call("py_vyi_set_ctp_md_info", b"tcp://a", "user", bytearray(b"pw")),
       "vyi_set_ctp_md_info", [b"tcp://a", b"user", b"pw"], None),
    ok("set_ctp_md_info keywords", call("py_vyi_set_ctp_md_info", password="pw", user_name=b"u",
                                        front_addresses="f"),
       "vyi_set_ctp_md_info", [b"f", b"u", b"pw"], None),
    refused("set_ctp_md_info bad password", call("py_vyi_set_ctp_md_info", b"f", b"u", None),
            TypeError, "expected bytes, NoneType found"),
    ok("get_accounts", call("py_vyi_get_accounts"), "vyi_get_account_info_pb", [OUT, OUT],
       (0, b"acc\x00ounts"), response=b"acc\x00ounts"),
    ok("get_accounts empty", call("py_vyi_get_accounts"), "vyi_get_account_info_pb", [OUT, OUT], (0, b"")),
    ok("get_accounts failure", call("py_vyi_get_accounts"), "vyi_get_account_info_pb", [OUT, OUT],
       (4, None), status=4, response=b"never read"),
    refused("get_accounts with argument", call("py_vyi_get_accounts", b""), TypeError, "takes no arguments"),
    ok("set_version", call("py_vyi_set_version", b"3.0.1", "python"),
       "vyi_set_version", [b"3.0.1", b"python", None, None], None),
    ok("set_version keywords reversed", call("py_vyi_set_version", sdk_lang=b"py", sdk_version="9"),
       "vyi_set_version", [b"9", b"py", None, None], None),
    ok("set_version keywords in order", call("py_vyi_set_version", sdk_version=b"1", sdk_lang=b"2"),
       "vyi_set_version", [b"1", b"2", None, None], None),
    refused("set_version bad lang", call("py_vyi_set_version", b"1", 2), TypeError, "expected bytes, int found"),
    ok("set_serv_addr_v5", call("py_vyi_set_serv_addr_v5", b"addr", bytearray(b"org"), b"site"),
       "vyi_set_serv_addr_v5", [b"addr", b"org", b"site"], None),
    ok("set_serv_addr_v5 keywords", call("py_vyi_set_serv_addr_v5", site_id=b"s", addr=b"a", orgcode=b"o"),
       "vyi_set_serv_addr_v5", [b"a", b"o", b"s"], None),
    refused("set_serv_addr_v5 str", call("py_vyi_set_serv_addr_v5", "addr", b"org", b"site"),
            TypeError, "expected bytes, str found"),
    refused("set_serv_addr_v5 int site", call("py_vyi_set_serv_addr_v5", b"addr", b"org", 7),
            TypeError, "expected bytes, int found"),
    refused("set_serv_addr_v5 str site", call("py_vyi_set_serv_addr_v5", b"addr", b"org", "site"),
            TypeError, "expected bytes, str found"),
    ok("set_account_id", call("py_vyi_set_account_id", b"a1,a2"), "vyi_set_account_id", [b"a1,a2"], None),
    refused("set_account_id str", call("py_vyi_set_account_id", "a1"), TypeError, "expected bytes, str found"),
    ok("set_simtrade_only", call("py_vyi_set_simtrade_only"), "vyi_set_simtrade_only", [], None),
    ok("use_dsproxy", call("py_vyi_use_dsproxy"), "vyi_use_dsproxy", [], 0),
    ok("use_dsproxy status", call("py_vyi_use_dsproxy"), "vyi_use_dsproxy", [], -9, status=-9),
]


@params(SESSION)
def test_session_calls(lib, row):
    check_row(lib, row)


# ---- run control, subscriptions, timers, current snapshot ------------------------------


class Truth:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if isinstance(self.value, Exception):
            fail_with(self.value)
        return self.value


RUN_CONTROL = [
    ok("get_stop_error_code", call("py_vyi_get_stop_error_code"), "vyi_get_stop_error_code", [], 0),
    ok("get_stop_error_code programmed", call("py_vyi_get_stop_error_code"),
       "vyi_get_stop_error_code", [], 1501, status=1501),
    refused("get_stop_error_code with argument", call("py_vyi_get_stop_error_code", 0), TypeError),
    ok("subscribe", call("py_vyi_subscribe", b"EXA.0001,EXB.0002", b"tick", True),
       "vyi_subscribe", [b"EXA.0001,EXB.0002", b"tick", True], 0),
    ok("subscribe str", call("py_vyi_subscribe", "EXA.0001", "60s", False),
       "vyi_subscribe", [b"EXA.0001", b"60s", False], 0),
    ok("subscribe keywords", call("py_vyi_subscribe", unsubscribe_previous=1, frequency="1d", symbols=b"s"),
       "vyi_subscribe", [b"s", b"1d", True], 0),
    ok("subscribe status", call("py_vyi_subscribe", b"s", b"1d", None),
       "vyi_subscribe", [b"s", b"1d", False], 1100, status=1100),
    ok("subscribe empty list is false", call("py_vyi_subscribe", b"s", b"1d", []),
       "vyi_subscribe", [b"s", b"1d", False], 0),
    ok("subscribe non-empty str is true", call("py_vyi_subscribe", b"s", b"1d", "0"),
       "vyi_subscribe", [b"s", b"1d", True], 0),
    refused("subscribe bad frequency", call("py_vyi_subscribe", b"s", 60, True),
            TypeError, "expected bytes, int found"),
    ok("unsubscribe", call("py_vyi_unsubscribe", b"s1", "tick"), "vyi_unsubscribe", [b"s1", b"tick"], 0),
    ok("unsubscribe keywords", call("py_vyi_unsubscribe", frequency=b"f", symbols=b"s"),
       "vyi_unsubscribe", [b"s", b"f"], 0),
    ok("unsubscribe status", call("py_vyi_unsubscribe", b"*", b"*"), "vyi_unsubscribe", [b"*", b"*"], 5, status=5),
    ok("schedule", call("py_vyi_schedule", "1d", "09:31:00"), "vyi_schedule", [b"1d", b"09:31:00"], 0),
    ok("schedule keywords", call("py_vyi_schedule", time_rule=b"t", date_rule=b"d"),
       "vyi_schedule", [b"d", b"t"], 0),
    ok("schedule status", call("py_vyi_schedule", b"d", b"t"), "vyi_schedule", [b"d", b"t"], -1, status=-1),
    ok("set_timer", call("py_vyi_set_timer", 5), "vyi_set_timer", [5], None),
    ok("set_timer float truncates", call("py_vyi_set_timer", 2.5), "vyi_set_timer", [2], None),
    refused("set_timer str", call("py_vyi_set_timer", "1"), TypeError, "an integer is required"),
    refused("set_timer keyword", call("py_vyi_set_timer", interval=5), TypeError, "takes no keyword arguments"),
    ok("user_timer", call("py_vyi_user_timer", 1000, 0), "vyi_user_timer", [1000, 0], 77, status=77),
    ok("user_timer keywords", call("py_vyi_user_timer", start_delay=True, period=7.9),
       "vyi_user_timer", [7, 1], 78, status=78),
    ok("user_timer refusal status", call("py_vyi_user_timer", 10, 20),
       "vyi_user_timer", [10, 20], -3, status=-3),
    refused("user_timer str argument", call("py_vyi_user_timer", "10", 1), TypeError, "an integer is required"),
    ok("user_timer_stop", call("py_vyi_user_timer_stop", 7), "vyi_user_timer_stop", [7], None),
    ok("user_timer_stop float", call("py_vyi_user_timer_stop", -7.9), "vyi_user_timer_stop", [-7], None),
    refused("user_timer_stop str", call("py_vyi_user_timer_stop", "5"), TypeError, "an integer is required"),
    ok("current", call("py_vyi_current", b"EXA.0001", b"price,volume", True),
       "vyi_current_pb", [b"EXA.0001", True, b"price,volume", OUT, OUT], (0, b"cur\x00rent"),
       response=b"cur\x00rent"),
    ok("current str", call("py_vyi_current", "s", "f", False),
       "vyi_current_pb", [b"s", False, b"f", OUT, OUT], (0, b"r"), response=b"r"),
    ok("current keywords", call("py_vyi_current", include_call_auction=[1], fields=b"f", symbols=b"s"),
       "vyi_current_pb", [b"s", True, b"f", OUT, OUT], (0, b"")),
    ok("current failure", call("py_vyi_current", b"s", b"", None),
       "vyi_current_pb", [b"s", False, b"", OUT, OUT], (1001, None), status=1001, response=b"x"),
    ok("current empty success", call("py_vyi_current", b"s", b"f", 0),
       "vyi_current_pb", [b"s", False, b"f", OUT, OUT], (0, b"")),
    # conversion order is symbols, include_call_auction, fields
    refused("current bad symbols first", call("py_vyi_current", 1, 2, Truth(ZeroDivisionError())),
            TypeError, "expected bytes, int found"),
    refused("current truth before fields", call("py_vyi_current", b"s", 2, Truth(ZeroDivisionError("t"))),
            ZeroDivisionError, "t"),
    refused("current bad fields", call("py_vyi_current", b"s", 2, True), TypeError, "expected bytes, int found"),
]


@params(RUN_CONTROL)
def test_run_control_calls(lib, row):
    check_row(lib, row)


# ---- backtest configuration ------------------------------------------------------------

CONFIG_NAMES = ("start_time", "end_time", "initial_cash", "transaction_ratio", "commission_ratio",
                "commission_unit", "slippage_ratio", "option_float_margin_ratio1",
                "option_float_margin_ratio2", "adjust", "match_mode", "check_cache")
# every value distinct once converted, so a swap of two parameters shows
CONFIG = (b"2020-01-02 09:30:00", "2020-12-31 15:00:00", 1000000, 0.5, 0.0003, 5.0, 0.0001, 0.25, 0.125,
          True, 2.9, 0)
CONFIG_SEEN = [b"2020-01-02 09:30:00", b"2020-12-31 15:00:00", 1000000.0, 0.5, 0.0003, 5.0, 0.0001, 0.25, 0.125,
               1, 2, 0]


def config(**changes):
    values = dict(zip(CONFIG_NAMES, CONFIG))
    values.update(changes)
    return tuple(values[n] for n in CONFIG_NAMES)


def config_seen(**changes):
    values = dict(zip(CONFIG_NAMES, CONFIG_SEEN))
    values.update(changes)
    return [values[n] for n in CONFIG_NAMES]


BACKTEST = [
    ok("config", call("py_vyi_set_backtest_config", *CONFIG), "vyi_set_backtest_config", CONFIG_SEEN, 0),
    ok("config status", call("py_vyi_set_backtest_config", *CONFIG),
       "vyi_set_backtest_config", CONFIG_SEEN, 1300, status=1300),
    ok("config keywords reversed",
       call("py_vyi_set_backtest_config", **dict(reversed(list(zip(CONFIG_NAMES, CONFIG))))),
       "vyi_set_backtest_config", CONFIG_SEEN, 0),
    ok("config mixed", call("py_vyi_set_backtest_config", *CONFIG[:5],
                            **dict(list(zip(CONFIG_NAMES, CONFIG))[5:][::-1])),
       "vyi_set_backtest_config", CONFIG_SEEN, 0),
    ok("config int amounts", call("py_vyi_set_backtest_config", *config(commission_unit=3, slippage_ratio=0)),
       "vyi_set_backtest_config", config_seen(commission_unit=3.0, slippage_ratio=0.0), 0),
    ok("config large int amount", call("py_vyi_set_backtest_config", *config(initial_cash=2**80)),
       "vyi_set_backtest_config", config_seen(initial_cash=float(2**80)), 0),
    ok("config nan and inf", call("py_vyi_set_backtest_config",
                                  *config(transaction_ratio=float("nan"), commission_ratio=-float("inf"))),
       "vyi_set_backtest_config", config_seen(transaction_ratio=float("nan"), commission_ratio=-float("inf")), 0),
    ok("config match_mode 1.9", call("py_vyi_set_backtest_config", *config(match_mode=1.9)),
       "vyi_set_backtest_config", config_seen(match_mode=1), 0),
    ok("config int fields", call("py_vyi_set_backtest_config", *config(adjust=2, match_mode=-1, check_cache=False)),
       "vyi_set_backtest_config", config_seen(adjust=2, match_mode=-1, check_cache=0), 0),
    refused("config int too large for a double", call("py_vyi_set_backtest_config", *config(initial_cash=10**400)),
            OverflowError, "int too large to convert to float"),
    refused("config None amount", call("py_vyi_set_backtest_config", *config(slippage_ratio=None)),
            TypeError, "must be real number, not NoneType"),
    refused("config str amount", call("py_vyi_set_backtest_config", *config(commission_ratio="0.1")),
            TypeError, "must be real number, not bytes"),
    refused("config str adjust", call("py_vyi_set_backtest_config", *config(adjust="1")),
            TypeError, "an integer is required"),
    refused("config check_cache overflow", call("py_vyi_set_backtest_config", *config(check_cache=2**31)),
            OverflowError, "value too large to convert to int"),
    refused("config bad start time first",
            call("py_vyi_set_backtest_config", *config(start_time=1, initial_cash=None, adjust="x")),
            TypeError, "expected bytes, int found"),
    refused("config 11 arguments", call("py_vyi_set_backtest_config", *CONFIG[:11]), TypeError),
    ok("intraday", call("py_vyi_set_backtest_intraday", 1), "vyi_set_backtest_intraday", [1], None),
    ok("intraday True", call("py_vyi_set_backtest_intraday", True), "vyi_set_backtest_intraday", [1], None),
    ok("intraday zero", call("py_vyi_set_backtest_intraday", 0), "vyi_set_backtest_intraday", [0], None),
    ok("intraday negative", call("py_vyi_set_backtest_intraday", -4), "vyi_set_backtest_intraday", [-4], None),
    refused("intraday str", call("py_vyi_set_backtest_intraday", "1"), TypeError, "an integer is required"),
    refused("intraday keyword", call("py_vyi_set_backtest_intraday", req=1), TypeError),
    ok("max_wait_time", call("py_vyi_set_max_wait_time", 30), "vyi_set_max_wait_time", [30], None),
    ok("max_wait_time zero", call("py_vyi_set_max_wait_time", 0), "vyi_set_max_wait_time", [0], None),
    ok("max_wait_time negative", call("py_vyi_set_max_wait_time", INT_MIN), "vyi_set_max_wait_time", [INT_MIN], None),
    refused("max_wait_time str", call("py_vyi_set_max_wait_time", "30"), TypeError, "an integer is required"),
    refused("max_wait_time keyword", call("py_vyi_set_max_wait_time", max_wait_time=30), TypeError),
    ok("threadnum", call("py_vyi_set_backtest_threadnum", 4), "vyi_set_backtest_threadnum", [4], None),
    ok("threadnum zero", call("py_vyi_set_backtest_threadnum", 0), "vyi_set_backtest_threadnum", [0], None),
    ok("threadnum negative", call("py_vyi_set_backtest_threadnum", -1), "vyi_set_backtest_threadnum", [-1], None),
    ok("threadnum max", call("py_vyi_set_backtest_threadnum", INT_MAX),
       "vyi_set_backtest_threadnum", [INT_MAX], None),
    refused("threadnum str", call("py_vyi_set_backtest_threadnum", "4"), TypeError, "an integer is required"),
    refused("threadnum overflow", call("py_vyi_set_backtest_threadnum", INT_MAX + 1),
            OverflowError, "value too large to convert to int"),
]


@params(BACKTEST)
def test_backtest_calls(lib, row):
    check_row(lib, row)


# ---- algorithmic orders and smart re-ordering ----------------------------------------

REORDER_NAMES = ("symbol", "price", "volume", "side", "order_type", "position_effect", "repeat_n",
                 "max_price_offset", "time_out", "time_wait", "account")
REORDER = (b"EXA.0001", 10, 100.9, True, 2, 3, 4, 5, 6, 7, "acc-1")
REORDER_SEEN = [b"EXA.0001", 10.0, 100, 1, 2, 3, 4, 5, 6, 7, b"acc-1"]


def reorder(**changes):
    values = dict(zip(REORDER_NAMES, REORDER))
    values.update(changes)
    return tuple(values[n] for n in REORDER_NAMES)


def reorder_seen(**changes):
    values = dict(zip(REORDER_NAMES, REORDER_SEEN))
    values.update(changes)
    return [values[n] for n in REORDER_NAMES]


ALGO = [
    ok("algo_order_batch", call("py_vyi_algo_order_batch", b"req\x00uest", b"algo-a", b'{"n": 1}'),
       "vyi_algo_order_batch_pb", [(b"req\x00uest", 8), b"algo-a", b'{"n": 1}', OUT, OUT], (0, b"ids"),
       response=b"ids"),
    ok("algo_order_batch str", call("py_vyi_algo_order_batch", "req", "algo-b", "p"),
       "vyi_algo_order_batch_pb", [(b"req", 3), b"algo-b", b"p", OUT, OUT], (0, b"")),
    ok("algo_order_batch keywords", call("py_vyi_algo_order_batch", algo_params=b"p", req=bytearray(b"r"),
                                         algo_name=b"n"),
       "vyi_algo_order_batch_pb", [(b"r", 1), b"n", b"p", OUT, OUT], (0, b"")),
    ok("algo_order_batch empty request", call("py_vyi_algo_order_batch", b"", b"n", b""),
       "vyi_algo_order_batch_pb", [(b"", 0), b"n", b"", OUT, OUT], (0, b"")),
    ok("algo_order_batch failure", call("py_vyi_algo_order_batch", b"r", b"n", b"p"),
       "vyi_algo_order_batch_pb", [(b"r", 1), b"n", b"p", OUT, OUT], (2001, None), status=2001, response=b"x"),
    refused("algo_order_batch None request first", call("py_vyi_algo_order_batch", None, 5, 6),
            TypeError, "has no len"),
    refused("algo_order_batch bad name", call("py_vyi_algo_order_batch", b"r", 5, b"p"),
            TypeError, "expected bytes, int found"),
    refused("algo_order_batch bad params", call("py_vyi_algo_order_batch", b"r", b"n", 5.0),
            TypeError, "expected bytes, float found"),
    ok("get_child_orders", call("py_vyi_get_child_orders", b"acc", b"algo-9"),
       "vyi_get_child_orders_pb", [b"acc", b"algo-9", OUT, OUT], (0, b"children"), response=b"children"),
    ok("get_child_orders keywords", call("py_vyi_get_child_orders", algo_id="a", account_id="b"),
       "vyi_get_child_orders_pb", [b"b", b"a", OUT, OUT], (0, b"")),
    ok("get_child_orders failure", call("py_vyi_get_child_orders", b"acc", b"x"),
       "vyi_get_child_orders_pb", [b"acc", b"x", OUT, OUT], (-5, None), status=-5, response=b"x"),
    refused("get_child_orders bad algo id", call("py_vyi_get_child_orders", b"acc", None),
            TypeError, "expected bytes, NoneType found"),
    ok("smart_reorder", call("py_vyi_smart_reorder", *REORDER), "vyi_smart_reorder", REORDER_SEEN, 0),
    ok("smart_reorder status", call("py_vyi_smart_reorder", *REORDER), "vyi_smart_reorder", REORDER_SEEN,
       4321, status=4321),
    ok("smart_reorder keywords reversed",
       call("py_vyi_smart_reorder", **dict(reversed(list(zip(REORDER_NAMES, REORDER))))),
       "vyi_smart_reorder", REORDER_SEEN, 0),
    ok("smart_reorder int minimum", call("py_vyi_smart_reorder", *reorder(volume=INT_MIN, max_price_offset=INT_MAX)),
       "vyi_smart_reorder", reorder_seen(volume=INT_MIN, max_price_offset=INT_MAX), 0),
    ok("smart_reorder float price", call("py_vyi_smart_reorder", *reorder(price=10.015)),
       "vyi_smart_reorder", reorder_seen(price=10.015), 0),
    refused("smart_reorder volume overflow", call("py_vyi_smart_reorder", *reorder(volume=2**31)),
            OverflowError, "value too large to convert to int"),
    refused("smart_reorder volume below int", call("py_vyi_smart_reorder", *reorder(volume=INT_MIN - 1)),
            OverflowError, "value too large to convert to int"),
    refused("smart_reorder volume beyond long", call("py_vyi_smart_reorder", *reorder(volume=2**64)),
            OverflowError, "Python int too large to convert to C long"),
    refused("smart_reorder str volume", call("py_vyi_smart_reorder", *reorder(volume="100")),
            TypeError, "an integer is required"),
    refused("smart_reorder time_wait before account",
            call("py_vyi_smart_reorder", *reorder(time_wait="x", account=5)),
            TypeError, "an integer is required"),
    refused("smart_reorder bad account", call("py_vyi_smart_reorder", *reorder(account=5)),
            TypeError, "expected bytes, int found"),
    refused("smart_reorder 10 arguments", call("py_vyi_smart_reorder", *REORDER[:10]), TypeError),
    ok("smart_reorder_cancel", call("py_vyi_smart_reorder_cancel", 12), "vyi_smart_reorder_cancel", [12], 0),
    ok("smart_reorder_cancel float", call("py_vyi_smart_reorder_cancel", 3.9),
       "vyi_smart_reorder_cancel", [3], 0),
    ok("smart_reorder_cancel status", call("py_vyi_smart_reorder_cancel", 1),
       "vyi_smart_reorder_cancel", [1], 3, status=3),
    refused("smart_reorder_cancel str", call("py_vyi_smart_reorder_cancel", "1"),
            TypeError, "an integer is required"),
    refused("smart_reorder_cancel keyword", call("py_vyi_smart_reorder_cancel", reorder_id=1), TypeError),
]


@params(ALGO)
def test_algorithmic_order_calls(lib, row):
    check_row(lib, row)


# ---- message bus ----------------------------------------------------------------------

BUS = [
    ok("set_bus_info", call("py_vyi_set_bus_info", b"tcp://bus:7000", "user", bytearray(b"pw")),
       "vyi_set_bus_info", [b"tcp://bus:7000", b"user", b"pw"], None),
    ok("set_bus_info keywords", call("py_vyi_set_bus_info", password=b"p", server_addr=b"s", user_name=b"u"),
       "vyi_set_bus_info", [b"s", b"u", b"p"], None),
    refused("set_bus_info missing", call("py_vyi_set_bus_info", b"s", b"u"), TypeError),
    ok("set_bus_secure", call("py_vyi_set_bus_secure", 1.9, b"ca", "cert", b"key", None),
       "vyi_set_bus_secure", [1, b"ca", b"cert", b"key", False], None),
    ok("set_bus_secure str skip_verify", call("py_vyi_set_bus_secure", 0, b"", b"", b"", "0"),
       "vyi_set_bus_secure", [0, b"", b"", b"", True], None),
    ok("set_bus_secure keywords", call("py_vyi_set_bus_secure", skip_verify=True, tlskey=b"k", tlscert=b"c",
                                       tlsca=b"a", in_mode=True),
       "vyi_set_bus_secure", [1, b"a", b"c", b"k", True], None),
    refused("set_bus_secure str mode", call("py_vyi_set_bus_secure", "1", b"a", b"c", b"k", False),
            TypeError, "an integer is required"),
    ok("add_bus_topic", call("py_vyi_add_bus_topic", b"signals"), "vyi_add_bus_topic", [b"signals"], None),
    ok("add_bus_topic str", call("py_vyi_add_bus_topic", "signals"), "vyi_add_bus_topic", [b"signals"], None),
    refused("add_bus_topic keyword", call("py_vyi_add_bus_topic", topic=b"t"), TypeError, "takes no keyword"),
    ok("send_msg_to_bus", call("py_vyi_send_msg_to_bus", b"topic", b"message"),
       "vyi_send_msg_to_bus", [b"topic", b"message"], 0),
    ok("send_msg_to_bus keywords", call("py_vyi_send_msg_to_bus", msg="m", topic="t"),
       "vyi_send_msg_to_bus", [b"t", b"m"], 0),
    ok("send_msg_to_bus status", call("py_vyi_send_msg_to_bus", b"t", b"m"),
       "vyi_send_msg_to_bus", [b"t", b"m"], 8, status=8),
    ok("send_msg_to_bus embedded NUL", call("py_vyi_send_msg_to_bus", b"to\x00pic", b"m\x00sg"),
       "vyi_send_msg_to_bus", [b"to", b"m"], 0),
    refused("send_msg_to_bus bad msg", call("py_vyi_send_msg_to_bus", b"t", 1),
            TypeError, "expected bytes, int found"),
]


@params(BUS)
def test_message_bus_calls(lib, row):
    check_row(lib, row)


# ---- the converters by kind ------------------------------------------------------------

class BytesSub(bytes):
    def __bytes__(self):  # never consulted: the object's own buffer is passed
        return b"other"


class ByteArraySub(bytearray):
    pass


# where a text parameter sits: (module function, arguments around the value, library function,
# index of the value in the journal, decorated)
TEXT_TARGETS = [
    ("py_vyi_set_token", lambda v: (v,), "vyi_set_token", 0, True),
    ("py_vyi_set_account_id", lambda v: (v,), "vyi_set_account_id", 0, False),
    ("py_vyi_send_msg_to_bus", lambda v: (b"t", v), "vyi_send_msg_to_bus", 1, True),
    ("py_vyi_set_serv_addr_v5", lambda v: (b"a", b"o", v), "vyi_set_serv_addr_v5", 2, False),
    ("py_vyi_current", lambda v: (b"s", v, True), "vyi_current_pb", 2, True),
    ("py_vyi_smart_reorder", lambda v: reorder(account=v), "vyi_smart_reorder", 10, True),
]

PLAIN_ONLY = object()

# (id, value, what the library sees or Raises; a pair (decorated, plain) when they differ)
TEXT_VALUES = [
    ("bytes", b"abc", b"abc"),
    ("empty bytes", b"", b""),
    ("bytearray", bytearray(b"abc"), b"abc"),
    ("empty bytearray", bytearray(), b""),
    ("bytes subclass", BytesSub(b"sub"), b"sub"),
    ("bytearray subclass", ByteArraySub(b"bas"), b"bas"),
    ("embedded NUL", b"ab\x00cd", b"ab"),
    ("leading NUL in bytearray", bytearray(b"\x00x"), b""),
    ("high bytes", b"\xff\xfe\x80", b"\xff\xfe\x80"),
    ("long text", b"x" * 100000, b"x" * 100000),
    ("str", "text", (b"text", Raises(TypeError, "expected bytes, str found"))),
    ("empty str", "", (b"", Raises(TypeError, "expected bytes, str found"))),
    ("non-ascii str", "\u00e9t\u00e9", (Raises(UnicodeEncodeError), Raises(TypeError, "expected bytes, str found"))),
    ("int", 5, Raises(TypeError, "expected bytes, int found")),
    ("None", None, Raises(TypeError, "expected bytes, NoneType found")),
    ("memoryview", memoryview(b"ab"), Raises(TypeError, "expected bytes, memoryview found")),
    ("list", [98], Raises(TypeError, "expected bytes, list found")),
    ("bool", True, Raises(TypeError, "expected bytes, bool found")),
]


def check_conversion(lib, fn, args, libfn, index, expected):
    """One argument's conversion: either the exception, with nothing reaching
    the library, or the one call with the converted value at `index`."""
    if isinstance(expected, Raises):
        with pytest.raises(expected.exc, match=expected.match):
            fn(*args)
        assert lib.journal() == []
        return
    fn(*args)
    (c,) = lib.journal()
    assert c.fn == libfn
    assert same(c.args[index], expected)


@pytest.mark.parametrize("vid, value, expected", TEXT_VALUES, ids=[v[0] for v in TEXT_VALUES])
@pytest.mark.parametrize("name, build, libfn, index, decorated", TEXT_TARGETS, ids=[t[0] for t in TEXT_TARGETS])
def test_text_conversion(lib, name, build, libfn, index, decorated, vid, value, expected):
    if isinstance(expected, tuple) and not isinstance(expected, Raises):
        expected = expected[0] if decorated else expected[1]
    check_conversion(lib, getattr(c_sdk, name), build(value), libfn, index, expected)


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        if isinstance(self.value, Exception):
            fail_with(self.value)
        return self.value


class IndexOnly:
    def __index__(self):
        return 3


class MyInt(int):
    def __int__(self):  # an int subclass is taken by value, __int__ is not called
        return 99


# (module function, arguments around the value, library function, index in the journal)
INT_TARGETS = [
    ("py_vyi_smart_reorder_cancel", lambda v: (v,), "vyi_smart_reorder_cancel", 0, True),
    ("py_vyi_set_backtest_threadnum", lambda v: (v,), "vyi_set_backtest_threadnum", 0, False),
    ("py_vyi_set_timer", lambda v: (v,), "vyi_set_timer", 0, False),
    ("py_vyi_user_timer", lambda v: (1, v), "vyi_user_timer", 1, True),
    ("py_vyi_set_bus_secure", lambda v: (v, b"a", b"b", b"c", False), "vyi_set_bus_secure", 0, True),
    ("py_vyi_set_backtest_config", lambda v: config(match_mode=v), "vyi_set_backtest_config", 10, True),
    ("py_vyi_smart_reorder", lambda v: reorder(time_wait=v), "vyi_smart_reorder", 9, True),
]

INT_VALUES = [
    ("zero", 0, 0),
    ("positive", 7, 7),
    ("negative", -7, -7),
    ("True", True, 1),
    ("False", False, 0),
    ("int max", INT_MAX, INT_MAX),
    ("int min", INT_MIN, INT_MIN),
    ("float truncates", 2.5, 2),
    ("negative float truncates toward zero", -2.5, -2),
    ("float 100.9", 100.9, 100),
    ("decimal", decimal.Decimal("3.7"), 3),
    ("__int__", IntLike(42), 42),
    ("int subclass by value", MyInt(5), 5),
    ("above int", INT_MAX + 1, Raises(OverflowError, "^value too large to convert to int$")),
    ("below int", INT_MIN - 1, Raises(OverflowError, "^value too large to convert to int$")),
    ("float above int", 2.0**31, Raises(OverflowError, "^value too large to convert to int$")),
    ("__int__ above int", IntLike(2**40), Raises(OverflowError, "^value too large to convert to int$")),
    ("beyond long", 2**63, Raises(OverflowError, "^Python int too large to convert to C long$")),
    ("below long", -2**63 - 1, Raises(OverflowError, "^Python int too large to convert to C long$")),
    ("str", "1", Raises(TypeError, "^an integer is required$")),
    ("non-ascii str", "\u00e9", (Raises(UnicodeEncodeError), Raises(TypeError, "^an integer is required$"))),
    ("bytes", b"1", Raises(TypeError, "^an integer is required$")),
    ("None", None, Raises(TypeError, "^an integer is required$")),
    ("list", [1], Raises(TypeError, "^an integer is required$")),
    ("__index__ only", IndexOnly(), Raises(TypeError, "^an integer is required$")),
    ("__int__ returns str", IntLike("1"), Raises(TypeError, r"^__int__ returned non-int \(type str\)$")),
    ("__int__ returns float", IntLike(1.0), Raises(TypeError, r"^__int__ returned non-int \(type float\)$")),
    ("__int__ raises", IntLike(ArithmeticError("from __int__")), Raises(ArithmeticError, "from __int__")),
    ("nan", float("nan"), Raises(ValueError, "cannot convert float NaN to integer")),
    ("infinity", float("inf"), Raises(OverflowError, "cannot convert float infinity to integer")),
]


@pytest.mark.parametrize("vid, value, expected", INT_VALUES, ids=[v[0] for v in INT_VALUES])
@pytest.mark.parametrize("name, build, libfn, index, decorated", INT_TARGETS, ids=[t[0] for t in INT_TARGETS])
def test_integer_conversion(lib, name, build, libfn, index, decorated, vid, value, expected):
    if isinstance(expected, tuple) and not isinstance(expected, Raises):
        expected = expected[0] if decorated else expected[1]
    lib.set_status("vyi_user_timer", 0)  # no timer is really added
    check_conversion(lib, getattr(c_sdk, name), build(value), libfn, index, expected)


def test_int_subclass_from_int_is_taken_with_the_interpreters_warning(lib):
    with pytest.warns(DeprecationWarning, match=r"__int__ returned non-int \(type bool\)"):
        c_sdk.py_vyi_smart_reorder_cancel(IntLike(True))
    assert same(lib.journal()[0].args, [1])
    lib.clear_journal()
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):
            c_sdk.py_vyi_smart_reorder_cancel(IntLike(True))
    assert lib.journal() == []


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        if isinstance(self.value, Exception):
            fail_with(self.value)
        return self.value


class MyFloat(float):
    pass


DOUBLE_TARGETS = [
    ("py_vyi_smart_reorder", lambda v: reorder(price=v), "vyi_smart_reorder", 1),
    ("py_vyi_set_backtest_config", lambda v: config(initial_cash=v), "vyi_set_backtest_config", 2),
    ("py_vyi_set_backtest_config", lambda v: config(option_float_margin_ratio2=v), "vyi_set_backtest_config", 8),
]

DOUBLE_VALUES = [
    ("float", 1.5, 1.5),
    ("tiny float", 5e-324, 5e-324),
    ("int", 10, 10.0),
    ("negative int", -3, -3.0),
    ("bool", True, 1.0),
    ("big int", 2**53 + 1, float(2**53 + 1)),
    ("nan", float("nan"), float("nan")),
    ("infinity", float("inf"), float("inf")),
    ("float subclass", MyFloat(2.75), 2.75),
    ("__float__", FloatLike(0.125), 0.125),
    ("__index__", IndexOnly(), 3.0),
    ("decimal", decimal.Decimal("0.5"), 0.5),
    ("int too large", 10**400, Raises(OverflowError, "int too large to convert to float")),
    ("None", None, Raises(TypeError, "must be real number, not NoneType")),
    ("bytes", b"1.5", Raises(TypeError, "must be real number, not bytes")),
    ("str", "1.5", Raises(TypeError, "must be real number, not bytes")),  # the decorator made it bytes
    ("__float__ returns int", FloatLike(1), Raises(TypeError, r"__float__ returned non-float \(type int\)")),
    ("__float__ raises", FloatLike(LookupError("from __float__")), Raises(LookupError, "from __float__")),
]


@pytest.mark.parametrize("vid, value, expected", DOUBLE_VALUES, ids=[v[0] for v in DOUBLE_VALUES])
@pytest.mark.parametrize("name, build, libfn, index", DOUBLE_TARGETS,
                         ids=["smart_reorder price", "config initial_cash", "config margin_ratio2"])
def test_double_conversion(lib, name, build, libfn, index, vid, value, expected):
    check_conversion(lib, getattr(c_sdk, name), build(value), libfn, index, expected)


class Sized:
    def __init__(self, n):
        self.n = n

    def __len__(self):
        if isinstance(self.n, Exception):
            fail_with(self.n)
        return self.n


TRUTH_TARGETS = [
    ("py_vyi_subscribe", lambda v: (b"s", b"f", v), "vyi_subscribe", 2),
    ("py_vyi_current", lambda v: (b"s", b"f", v), "vyi_current_pb", 1),
    ("py_vyi_set_bus_secure", lambda v: (1, b"a", b"b", b"c", v), "vyi_set_bus_secure", 4),
]

TRUTH_VALUES = [
    ("True", True, True),
    ("False", False, False),
    ("None", None, False),
    ("zero", 0, False),
    ("two", 2, True),
    ("zero float", 0.0, False),
    ("empty list", [], False),
    ("list", [1], True),
    ("empty str", "", False),
    ("str 0", "0", True),
    ("empty bytes", b"", False),
    ("object", object(), True),
    ("__len__ zero", Sized(0), False),
    ("__bool__ true", Truth(True), True),
    ("__bool__ raises", Truth(KeyError("from __bool__")), Raises(KeyError, "from __bool__")),
    ("__bool__ returns int", Truth(1), Raises(TypeError, "__bool__ should return bool, returned int")),
    ("__len__ raises", Sized(IndexError("from __len__")), Raises(IndexError, "from __len__")),
]


@pytest.mark.parametrize("vid, value, expected", TRUTH_VALUES, ids=[v[0] for v in TRUTH_VALUES])
@pytest.mark.parametrize("name, build, libfn, index", TRUTH_TARGETS, ids=[t[0] for t in TRUTH_TARGETS])
def test_truth_conversion(lib, name, build, libfn, index, vid, value, expected):
    check_conversion(lib, getattr(c_sdk, name), build(value), libfn, index, expected)


# ---- conversion order --------------------------------------------------------------------
# Parameter kinds in Python order: t text, i int, d double, b truth value, r request.

DEC, PLAIN = True, False

# (module function, parameter kinds, bound to the str-encoding decorator)
SIGNATURES = [
    ("py_vyi_get_serv_addr", "t", DEC),
    ("py_vyi_set_strategy_id", "t", DEC),
    ("py_vyi_set_token", "t", DEC),
    ("py_vyi_set_mfp", "t", DEC),
    ("py_vyi_set_apitoken", "t", DEC),
    ("py_vyi_set_serv_addr", "t", DEC),
    ("py_vyi_set_ctp_md_info", "ttt", DEC),
    ("py_vyi_set_version", "tt", DEC),
    ("py_vyi_set_serv_addr_v5", "ttt", PLAIN),
    ("py_vyi_set_account_id", "t", PLAIN),
    ("py_vyi_subscribe", "ttb", DEC),
    ("py_vyi_unsubscribe", "tt", DEC),
    ("py_vyi_schedule", "tt", DEC),
    ("py_vyi_set_timer", "i", PLAIN),
    ("py_vyi_user_timer", "ii", DEC),
    ("py_vyi_user_timer_stop", "i", DEC),
    ("py_vyi_current", "ttb", DEC),
    ("py_vyi_set_backtest_config", "ttdddddddiii", DEC),
    ("py_vyi_set_backtest_intraday", "i", DEC),
    ("py_vyi_set_max_wait_time", "i", PLAIN),
    ("py_vyi_set_backtest_threadnum", "i", PLAIN),
    ("py_vyi_algo_order_batch", "rtt", DEC),
    ("py_vyi_get_child_orders", "tt", DEC),
    ("py_vyi_smart_reorder", "tdiiiiiiiit", DEC),
    ("py_vyi_smart_reorder_cancel", "i", DEC),
    ("py_vyi_set_bus_info", "ttt", DEC),
    ("py_vyi_set_bus_secure", "itttb", DEC),
    ("py_vyi_add_bus_topic", "t", DEC),
    ("py_vyi_send_msg_to_bus", "tt", DEC),
    ("py_vyi_get_encrypted_token", "", DEC),
    ("py_vyi_get_orgcode", "", DEC),
    ("py_vyi_get_accounts", "", PLAIN),
    ("py_vyi_set_simtrade_only", "", PLAIN),
    ("py_vyi_use_dsproxy", "", PLAIN),
    ("py_vyi_get_stop_error_code", "", PLAIN),
]


class Marked:
    """A value that fails its conversion with an error naming its position."""

    def __init__(self, pos):
        self.pos = pos

    def fail(self, *_):
        raise LookupError(f"position {self.pos}")

    __int__ = __float__ = __bool__ = __len__ = fail


def bad_value(kind, pos):
    if kind == "t":
        return type(f"Position{pos}", (), {})()  # "expected bytes, Position<pos> found"
    return Marked(pos)


def error_of(kind, pos):
    if kind == "t":
        return TypeError, f"expected bytes, Position{pos} found"
    return LookupError, f"position {pos}"


def order_cases():
    for name, kinds, _ in SIGNATURES:
        for pos in range(len(kinds)):
            yield pytest.param(name, kinds, pos, id=f"{name}-{pos}")


GOOD = {"t": b"t", "i": 1, "d": 1.5, "b": True, "r": b"r"}


@pytest.mark.parametrize("name, kinds, pos", list(order_cases()))
def test_conversion_order_first_failure_wins(lib, name, kinds, pos):
    """Good values before `pos`, failing ones from `pos` on: the error is the one
    of parameter `pos`, and nothing reaches the library."""
    args = [GOOD[k] if i < pos else bad_value(k, i) for i, k in enumerate(kinds)]
    exc, message = error_of(kinds[pos], pos)
    if kinds == "ttb" and name == "py_vyi_current" and pos == 1:
        # fields is converted after include_call_auction
        exc, message = error_of("b", 2)
    fn = getattr(c_sdk, name)
    with pytest.raises(exc, match=f"^{message}$"):
        fn(*args)
    assert lib.journal() == []
    # and each position alone fails the same way
    args = [GOOD[k] for k in kinds]
    args[pos] = bad_value(kinds[pos], pos)
    exc, message = error_of(kinds[pos], pos)
    with pytest.raises(exc, match=f"^{message}$"):
        fn(*args)
    assert lib.journal() == []


@pytest.mark.parametrize("name, kinds, decorated", SIGNATURES, ids=[s[0] for s in SIGNATURES])
def test_signature_table_matches_the_module(lib, name, kinds, decorated):
    fn = getattr(c_sdk, name)
    good = [GOOD[k] for k in kinds]
    wrong_counts = [good + [b"extra"]] + ([good[:-1]] if good else [])
    for wrong in wrong_counts:
        with pytest.raises(TypeError):
            fn(*wrong)
    # a non-ASCII str: the decorator fails to encode it before anything else
    # looks at it; a plain function refuses it as its parameter's kind would
    with pytest.raises(UnicodeEncodeError if decorated else TypeError):
        fn(*(["\u00e9"] + good[1:]))
    assert lib.journal() == []
    assert fn.__name__ == ("wrapper" if decorated else name)
    fn(*good)
    assert len(lib.journal()) == 1


# ---- calling forms ---------------------------------------------------------------------

CALLING_FORMS = [
    ("no params, one argument", call("py_vyi_get_orgcode", 1), "takes no arguments"),
    ("no params, keyword", call("py_vyi_get_encrypted_token", x=1), "takes no keyword arguments"),
    ("no params, None", call("py_vyi_set_simtrade_only", None), "takes no arguments"),
    ("no params, use_dsproxy", call("py_vyi_use_dsproxy", 0), "takes no arguments"),
    ("no params, stop code", call("py_vyi_get_stop_error_code", 0), "takes no arguments"),
    ("no params, accounts", call("py_vyi_get_accounts", None), "takes no arguments"),
    ("one param, none given", call("py_vyi_set_token"), r"takes exactly one argument \(0 given\)"),
    ("one param, two given", call("py_vyi_set_token", b"a", b"b"), r"takes exactly one argument \(2 given\)"),
    ("one param, keyword", call("py_vyi_set_token", token=b"a"), "takes no keyword arguments"),
    ("one param, keyword plain", call("py_vyi_set_account_id", account_ids=b"a"), "takes no keyword arguments"),
    ("one param, serv_id keyword", call("py_vyi_get_serv_addr", serv_id=b"a"), "takes no keyword arguments"),
    ("one param, timer_id keyword", call("py_vyi_user_timer_stop", timer_id=1), "takes no keyword arguments"),
    ("one param, n keyword", call("py_vyi_set_backtest_threadnum", n=1), "takes no keyword arguments"),
    ("many, missing last", call("py_vyi_subscribe", b"a", b"b"), "missing required argument 'unsubscribe_previous'"),
    ("many, too many", call("py_vyi_subscribe", b"a", b"b", True, 1), r"takes at most 3 arguments \(4 given\)"),
    ("many, unexpected keyword", call("py_vyi_unsubscribe", b"a", b"b", extra=1), "at most 2 arguments"),
    ("many, unknown keyword only", call("py_vyi_unsubscribe", b"a", frequenzy=b"b"), None),
    ("many, repeated by position and name", call("py_vyi_schedule", b"a", b"b", date_rule=b"c"), None),
    ("many, repeated", call("py_vyi_schedule", b"a", date_rule=b"c"), None),
    ("many, repeated full count", call("py_vyi_subscribe", b"a", b"b", symbols=b"c"),
     None),
    ("many, none", call("py_vyi_user_timer"), "missing required argument 'period'"),
    ("set_version, one", call("py_vyi_set_version", b"1"), "missing required argument 'sdk_lang'"),
    ("set_version, four", call("py_vyi_set_version", b"1", b"2", None, None), "at most 2 arguments"),
    ("current, four", call("py_vyi_current", b"s", b"f", True, True), "at most 3 arguments"),
    ("algo batch, keywords missing", call("py_vyi_algo_order_batch", req=b"", algo_name=b""),
     "missing required argument 'algo_params'"),
    ("smart_reorder, 10", call("py_vyi_smart_reorder", *REORDER[:10]), "missing required argument 'account'"),
    ("smart_reorder, 12", call("py_vyi_smart_reorder", *REORDER, b"x"), "at most 11 arguments"),
    ("config, keyword typo", call("py_vyi_set_backtest_config", *CONFIG[:11], check_cach=0), None),
    ("bus secure, 4", call("py_vyi_set_bus_secure", 1, b"a", b"b", b"c"), "missing required argument 'skip_verify'"),
    ("send_msg, only msg", call("py_vyi_send_msg_to_bus", msg=b"m"), "missing required argument 'topic'"),
]


@pytest.mark.parametrize("cid, c, match", CALLING_FORMS, ids=[f[0] for f in CALLING_FORMS])
def test_calling_forms(lib, cid, c, match):
    name, args, kwargs = c
    with pytest.raises(TypeError, match=match):
        getattr(c_sdk, name)(*args, **kwargs)
    assert lib.journal() == []


# ---- response pairs and the success global -----------------------------------------------

# (id, call, library function, success result for a programmed response/text)
PAIRS = [
    ("get_accounts", call("py_vyi_get_accounts"), "vyi_get_account_info_pb"),
    ("current", call("py_vyi_current", b"s", b"f", False), "vyi_current_pb"),
    ("get_child_orders", call("py_vyi_get_child_orders", b"a", b"b"), "vyi_get_child_orders_pb"),
    ("algo_order_batch", call("py_vyi_algo_order_batch", b"r", b"n", b"p"), "vyi_algo_order_batch_pb"),
    ("get_serv_addr", call("py_vyi_get_serv_addr", b"id"), "vyi_get_serv_addr"),
]


def pair_forms(pid, status):
    """The success and failure results of a response-pair call returning `status`."""
    if pid == "get_serv_addr":
        return b"addr", None
    return (status, b"resp"), (status, None)


def program_pair(lib, pid, libfn, status):
    lib.set_status(libfn, status)
    if pid == "get_serv_addr":
        lib.set_text(libfn, b"addr")
    else:
        lib.set_response(libfn, b"resp")


@pytest.mark.parametrize("pid, c, libfn", PAIRS, ids=[p[0] for p in PAIRS])
def test_success_follows_the_module_global(lib, fresh_globals, pid, c, libfn):
    name, args, kwargs = c
    fn = getattr(c_sdk, name)
    program_pair(lib, pid, libfn, 5)
    success, failure = pair_forms(pid, 5)
    assert same(fn(*args, **kwargs), failure)
    c_sdk.CSDK_OPERATE_SUCCESS = 5
    assert same(fn(*args, **kwargs), success)
    c_sdk.CSDK_OPERATE_SUCCESS = 5.0  # equality, not identity
    assert same(fn(*args, **kwargs), success)
    c_sdk.CSDK_OPERATE_SUCCESS = 2**70
    assert same(fn(*args, **kwargs), failure)
    program_pair(lib, pid, libfn, 0)  # 0 is no longer success
    c_sdk.CSDK_OPERATE_SUCCESS = 1
    assert same(fn(*args, **kwargs), pair_forms(pid, 0)[1])
    del c_sdk.CSDK_OPERATE_SUCCESS
    lib.clear_journal()
    with pytest.raises(NameError, match="name 'CSDK_OPERATE_SUCCESS' is not defined"):
        fn(*args, **kwargs)
    assert [j.fn for j in lib.journal()] == [libfn]  # raised after the call


class Inconsistent:
    """A success value whose == and != give the same answer."""

    def __init__(self, answer):
        self.answer = answer

    def __eq__(self, other):
        if isinstance(self.answer, Exception):
            fail_with(self.answer)
        return self.answer

    __ne__ = __eq__
    __hash__ = None


@pytest.mark.parametrize("answer", [True, False])
def test_get_serv_addr_decides_by_inequality_the_pairs_by_equality(lib, fresh_globals, answer):
    lib.set_text("vyi_get_serv_addr", b"addr")
    lib.set_response("vyi_get_account_info_pb", b"acc")
    original = c_sdk.CSDK_OPERATE_SUCCESS
    try:
        check_inequality_and_equality(lib, answer)
    finally:  # an object equal to everything would hide itself from a comparison of the globals
        c_sdk.CSDK_OPERATE_SUCCESS = original


def check_inequality_and_equality(lib, answer):
    c_sdk.CSDK_OPERATE_SUCCESS = Inconsistent(answer)
    # != true means failure for the address; == true means success for a pair
    assert c_sdk.py_vyi_get_serv_addr(b"id") == (None if answer else b"addr")
    assert c_sdk.py_vyi_get_accounts() == ((0, b"acc") if answer else (0, None))
    c_sdk.CSDK_OPERATE_SUCCESS = Inconsistent(ZeroDivisionError("cmp"))
    lib.clear_journal()
    with pytest.raises(ZeroDivisionError, match="cmp"):
        c_sdk.py_vyi_get_serv_addr(b"id")
    with pytest.raises(ZeroDivisionError, match="cmp"):
        c_sdk.py_vyi_get_accounts()
    assert [c.fn for c in lib.journal()] == ["vyi_get_serv_addr", "vyi_get_account_info_pb"]


@pytest.mark.parametrize("name, libfn", [("py_vyi_set_token", "vyi_set_token"),
                                         ("py_vyi_send_msg_to_bus", "vyi_send_msg_to_bus"),
                                         ("py_vyi_subscribe", "vyi_subscribe")])
def test_status_calls_never_consult_the_global(lib, fresh_globals, name, libfn):
    del c_sdk.CSDK_OPERATE_SUCCESS
    lib.set_status(libfn, 6)
    args = {"py_vyi_set_token": (b"t",), "py_vyi_send_msg_to_bus": (b"t", b"m"),
            "py_vyi_subscribe": (b"s", b"f", True)}[name]
    assert getattr(c_sdk, name)(*args) == 6


@pytest.mark.parametrize("pid, c, libfn", PAIRS, ids=[p[0] for p in PAIRS])
def test_results_are_copies_that_outlive_the_library_buffer(lib, pid, c, libfn):
    name, args, kwargs = c
    program_pair(lib, pid, libfn, 0)
    first = getattr(c_sdk, name)(*args, **kwargs)
    c_sdk.py_vyi_get_orgcode()  # the library scribbles over what it handed out before
    c_sdk.py_vyi_get_accounts()
    assert first == pair_forms(pid, 0)[0]


def test_returned_texts_are_copies(lib):
    lib.set_text("vyi_get_orgcode", b"org")
    lib.set_text("vyi_get_encrypted_token", b"enc")
    org = c_sdk.py_vyi_get_orgcode()
    enc = c_sdk.py_vyi_get_encrypted_token()
    c_sdk.py_vyi_get_accounts()
    assert (org, enc) == (b"org", b"enc")


# ---- the cases that could crash, each in its own interpreter ---------------------------

SUBPROCESS_PRELUDE = """
import vy.csdk.c_sdk as sdk
from vystandin import StandIn
lib = StandIn()
lib.reset()
def outcome(action):
    try:
        return ("ok", action())
    except Exception as e:
        return ("raised", type(e).__name__, str(e))
"""


def run_isolated(body):
    """Runs body after the prelude in a fresh interpreter; body leaves its
    answer in `answer`, which must be a literal.  A crash fails the test."""
    proc = run_python(SUBPROCESS_PRELUDE + body + "\nprint(repr(answer))\n")
    assert proc.returncode == 0, f"the interpreter died ({proc.returncode}):\n{proc.stderr[-3000:]}"
    return ast.literal_eval(proc.stdout.strip().splitlines()[-1])


def journal_answer():
    return "[(c.fn, c.args) for c in lib.journal()]"


# (id, programming statements, call expression, expected outcome, expected journal)
BROKEN = []
for _pid, (_name, _args, _kw), _libfn in PAIRS[:4]:
    for _null, _length in ((True, 5), (False, -1), (True, -7), (False, -2**31)):
        BROKEN.append((f"{_pid} null={_null} len={_length}",
                       f"lib.set_response_raw({_libfn!r}, {_null}, {_length})",
                       f"sdk.{_name}(*{_args!r})",
                       ("raised", "RuntimeError", f"{_libfn} reported success"),
                       _libfn))
    BROKEN.append((f"{_pid} broken response on failure is never read",
                   f"lib.set_response_raw({_libfn!r}, True, 5); lib.set_status({_libfn!r}, 9)",
                   f"sdk.{_name}(*{_args!r})", ("ok", (9, None)), _libfn))
    BROKEN.append((f"{_pid} null pointer with length 0",
                   f"lib.set_response_raw({_libfn!r}, True, 0)",
                   f"sdk.{_name}(*{_args!r})", ("ok", (0, b"")), _libfn))
BROKEN += [
    ("get_serv_addr NULL address on success", "lib.set_text('vyi_get_serv_addr', None)",
     "sdk.py_vyi_get_serv_addr(b'id')", ("ok", b""), "vyi_get_serv_addr"),
    ("get_serv_addr NULL address on failure",
     "lib.set_text('vyi_get_serv_addr', None); lib.set_status('vyi_get_serv_addr', 2)",
     "sdk.py_vyi_get_serv_addr(b'id')", ("ok", None), "vyi_get_serv_addr"),
    ("get_orgcode NULL", "lib.set_text('vyi_get_orgcode', None)",
     "sdk.py_vyi_get_orgcode()", ("ok", b""), "vyi_get_orgcode"),
    ("get_encrypted_token NULL", "lib.set_text('vyi_get_encrypted_token', None)",
     "sdk.py_vyi_get_encrypted_token()", ("ok", b""), "vyi_get_encrypted_token"),
]


@pytest.mark.parametrize("bid, setup, expr, expected, libfn", BROKEN, ids=[b[0] for b in BROKEN])
def test_broken_library_results(bid, setup, expr, expected, libfn):
    answer = run_isolated(f"""
{setup}
lib.clear_journal()
result = outcome(lambda: {expr})
answer = (result, [c.fn for c in lib.journal()])
""")
    result, fns = answer
    assert fns == [libfn]
    if expected[0] == "raised":
        assert result[:2] == expected[:2], result
        assert result[2].startswith(expected[2]), result
    else:
        assert result[0] == "ok", result
        assert same(result[1], expected[1]), result


# A bytearray text (or request) cannot be resized while the library holds it:
# an event delivered inside the call tries, and must get BufferError.
# (id, library function, call expression on `buf`, journal index of buf, as the library saw it)
HELD = [
    ("set_token", "vyi_set_token", "sdk.py_vyi_set_token(buf)", 0, b"held"),
    ("set_strategy_id", "vyi_set_strategy_id", "sdk.py_vyi_set_strategy_id(buf)", 0, b"held"),
    ("send_msg_to_bus msg", "vyi_send_msg_to_bus", "sdk.py_vyi_send_msg_to_bus(b't', buf)", 1, b"held"),
    ("set_serv_addr_v5 site", "vyi_set_serv_addr_v5", "sdk.py_vyi_set_serv_addr_v5(b'a', b'o', buf)", 2, b"held"),
    ("current fields", "vyi_current_pb", "sdk.py_vyi_current(b's', buf, True)", 2, b"held"),
    ("get_child_orders", "vyi_get_child_orders_pb", "sdk.py_vyi_get_child_orders(buf, b'x')", 0, b"held"),
    ("algo_order_batch request", "vyi_algo_order_batch_pb", "sdk.py_vyi_algo_order_batch(buf, b'n', b'p')", 0,
     (b"held", 4)),
    ("algo_order_batch params", "vyi_algo_order_batch_pb", "sdk.py_vyi_algo_order_batch(b'r', b'n', buf)", 2,
     b"held"),
    ("smart_reorder account", "vyi_smart_reorder",
     "sdk.py_vyi_smart_reorder(b's', 1.0, 1, 1, 1, 1, 1, 1, 1, 1, buf)", 10, b"held"),
    ("set_bus_secure tlskey", "vyi_set_bus_secure", "sdk.py_vyi_set_bus_secure(1, b'a', b'b', buf, True)", 3,
     b"held"),
]


@pytest.mark.parametrize("hid, libfn, expr, index, seen", HELD, ids=[h[0] for h in HELD])
def test_bytearray_cannot_be_resized_while_the_library_holds_it(hid, libfn, expr, index, seen):
    result, tries, after, fns, arg = run_isolated(f"""
buf = bytearray(b"held")
tries = []
def on_event(msg_type, payload):
    try:
        buf.extend(b"x" * 4096)   # would move the buffer the library is reading
    except BufferError:
        tries.append("BufferError")
    else:
        tries.append("resized")
sdk.py_vyi_set_data_callback(on_event)
lib.clear_journal()
lib.push_event("tick", b"")
lib.deliver_inline({libfn!r})
result = outcome(lambda: {expr})
buf.extend(b"!")                  # released once the call is over
calls = lib.calls({libfn!r})
answer = (result[0], tries, bytes(buf), [c.fn for c in lib.journal()], calls[0].args[{index}])
""")
    assert result == "ok"
    assert tries == ["BufferError"]
    assert after == b"held!"
    assert fns == [libfn]
    assert arg == seen


def test_bytearray_is_released_after_a_failed_conversion(lib):
    buf = bytearray(b"x")
    with pytest.raises(TypeError):
        c_sdk.py_vyi_send_msg_to_bus(buf, 5)  # buf converted, then msg refused
    buf.extend(b"y")
    with pytest.raises(TypeError):
        c_sdk.py_vyi_smart_reorder(*reorder(symbol=buf, account=None))
    buf.extend(b"z")
    assert buf == b"xyz"
    assert lib.journal() == []


# ---- reference leaks (debug interpreter) ---------------------------------------------------

def leak_cases():
    s = c_sdk

    def ignoring_warnings(fn, *args):
        def action():
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                fn(*args)
        return action

    keywords_config = dict(zip(CONFIG_NAMES, CONFIG))
    keywords_reorder = dict(zip(REORDER_NAMES, REORDER))
    # id -> (programming as (method, library function, value), action)
    return {
        "get_serv_addr ok": ((), lambda: s.py_vyi_get_serv_addr(b"id")),
        "get_serv_addr str": ((), lambda: s.py_vyi_get_serv_addr("id")),
        "get_serv_addr failure": ((("set_status", "vyi_get_serv_addr", 3),), lambda: s.py_vyi_get_serv_addr(b"id")),
        "get_serv_addr null": ((("set_text", "vyi_get_serv_addr", None),), lambda: s.py_vyi_get_serv_addr(b"id")),
        "get_serv_addr bad": ((), raising(s.py_vyi_get_serv_addr, 1)),
        "set_strategy_id ok": ((), lambda: s.py_vyi_set_strategy_id("sid")),
        "set_strategy_id bad": ((), raising(s.py_vyi_set_strategy_id, None)),
        "set_token ok": ((), lambda: s.py_vyi_set_token(bytearray(b"tok"))),
        "set_token status": ((("set_status", "vyi_set_token", 70000),), lambda: s.py_vyi_set_token(b"t")),
        "set_token non-ascii": ((), raising(s.py_vyi_set_token, "\u00e9")),
        "get_encrypted_token ok": ((), lambda: s.py_vyi_get_encrypted_token()),
        "get_encrypted_token null": ((("set_text", "vyi_get_encrypted_token", None),),
                                     lambda: s.py_vyi_get_encrypted_token()),
        "get_encrypted_token bad": ((), raising(s.py_vyi_get_encrypted_token, 1)),
        "get_orgcode ok": ((), lambda: s.py_vyi_get_orgcode()),
        "get_orgcode bad": ((), raising(s.py_vyi_get_orgcode, x=1)),
        "set_mfp ok": ((), lambda: s.py_vyi_set_mfp("m")),
        "set_mfp bad": ((), raising(s.py_vyi_set_mfp, mfp=b"m")),
        "set_apitoken ok": ((), lambda: s.py_vyi_set_apitoken(b"a")),
        "set_apitoken bad": ((), raising(s.py_vyi_set_apitoken, [])),
        "set_serv_addr ok": ((), lambda: s.py_vyi_set_serv_addr("a")),
        "set_serv_addr bad": ((), raising(s.py_vyi_set_serv_addr)),
        "set_ctp_md_info ok": ((), lambda: s.py_vyi_set_ctp_md_info(password="p", user_name=b"u",
                                                                    front_addresses="f")),
        "set_ctp_md_info bad": ((), raising(s.py_vyi_set_ctp_md_info, b"f", b"u", 3)),
        "get_accounts ok": ((("set_response", "vyi_get_account_info_pb", b"acc"),), lambda: s.py_vyi_get_accounts()),
        "get_accounts failure": ((("set_status", "vyi_get_account_info_pb", 2),), lambda: s.py_vyi_get_accounts()),
        "get_accounts broken": ((("set_response_raw", "vyi_get_account_info_pb", (True, 5)),),
                                raising(s.py_vyi_get_accounts)),
        "get_accounts bad": ((), raising(s.py_vyi_get_accounts, b"")),
        "set_version ok": ((), lambda: s.py_vyi_set_version(sdk_lang="py", sdk_version=b"1")),
        "set_version bad": ((), raising(s.py_vyi_set_version, b"1", sdk_version=b"2")),
        "set_serv_addr_v5 ok": ((), lambda: s.py_vyi_set_serv_addr_v5(b"a", b"o", bytearray(b"s"))),
        "set_serv_addr_v5 bad": ((), raising(s.py_vyi_set_serv_addr_v5, b"a", b"o", "s")),
        "set_account_id ok": ((), lambda: s.py_vyi_set_account_id(b"a")),
        "set_account_id bad": ((), raising(s.py_vyi_set_account_id, "a")),
        "set_simtrade_only ok": ((), lambda: s.py_vyi_set_simtrade_only()),
        "set_simtrade_only bad": ((), raising(s.py_vyi_set_simtrade_only, 1)),
        "use_dsproxy ok": ((), lambda: s.py_vyi_use_dsproxy()),
        "use_dsproxy bad": ((), raising(s.py_vyi_use_dsproxy, 1)),
        "get_stop_error_code ok": ((), lambda: s.py_vyi_get_stop_error_code()),
        "get_stop_error_code bad": ((), raising(s.py_vyi_get_stop_error_code, 1)),
        "subscribe ok": ((), lambda: s.py_vyi_subscribe("s", b"f", [1])),
        "subscribe keywords": ((), lambda: s.py_vyi_subscribe(unsubscribe_previous=None, frequency="f", symbols="s")),
        "subscribe bad truth": ((), raising(s.py_vyi_subscribe, b"s", b"f", Truth(KeyError("k")))),
        "unsubscribe ok": ((), lambda: s.py_vyi_unsubscribe(b"s", "f")),
        "unsubscribe bad": ((), raising(s.py_vyi_unsubscribe, b"s", frequenzy=b"f")),
        "schedule ok": ((), lambda: s.py_vyi_schedule("1d", "09:30:00")),
        "schedule bad": ((), raising(s.py_vyi_schedule, b"d", 1)),
        "set_timer ok": ((), lambda: s.py_vyi_set_timer(2.5)),
        "set_timer bad": ((), raising(s.py_vyi_set_timer, "1")),
        "set_timer keyword": ((), raising(s.py_vyi_set_timer, interval=1)),
        "user_timer ok": ((("set_status", "vyi_user_timer", 9),), lambda: s.py_vyi_user_timer(1, 2)),
        "user_timer bad": ((), raising(s.py_vyi_user_timer, 1, 2**31)),
        "user_timer_stop ok": ((), lambda: s.py_vyi_user_timer_stop(IntLike(3))),
        "user_timer_stop bad": ((), raising(s.py_vyi_user_timer_stop, "5")),
        "current ok": ((("set_response", "vyi_current_pb", b"cur"),), lambda: s.py_vyi_current("s", "f", True)),
        "current failure": ((("set_status", "vyi_current_pb", 1),), lambda: s.py_vyi_current(b"s", b"f", None)),
        "current broken": ((("set_response_raw", "vyi_current_pb", (False, -1)),),
                           raising(s.py_vyi_current, b"s", b"f", None)),
        "current bad": ((), raising(s.py_vyi_current, b"s", 1, True)),
        "config ok": ((), lambda: s.py_vyi_set_backtest_config(*CONFIG)),
        "config keywords": ((), lambda: s.py_vyi_set_backtest_config(**keywords_config)),
        "config overflow": ((), raising(s.py_vyi_set_backtest_config, *config(initial_cash=10**400))),
        "config bad int": ((), raising(s.py_vyi_set_backtest_config, *config(check_cache=IntLike("x")))),
        "intraday ok": ((), lambda: s.py_vyi_set_backtest_intraday(True)),
        "intraday bad": ((), raising(s.py_vyi_set_backtest_intraday, "1")),
        "max_wait_time ok": ((), lambda: s.py_vyi_set_max_wait_time(-1)),
        "max_wait_time bad": ((), raising(s.py_vyi_set_max_wait_time, 2**63)),
        "threadnum ok": ((), lambda: s.py_vyi_set_backtest_threadnum(0)),
        "threadnum bad": ((), raising(s.py_vyi_set_backtest_threadnum, "4")),
        "algo_order_batch ok": ((("set_response", "vyi_algo_order_batch_pb", b"ids"),),
                                lambda: s.py_vyi_algo_order_batch("r", "n", "p")),
        "algo_order_batch failure": ((("set_status", "vyi_algo_order_batch_pb", 4),),
                                     lambda: s.py_vyi_algo_order_batch(bytearray(b"r"), b"n", b"p")),
        "algo_order_batch broken": ((("set_response_raw", "vyi_algo_order_batch_pb", (True, 3)),),
                                    raising(s.py_vyi_algo_order_batch, b"r", b"n", b"p")),
        "algo_order_batch no len": ((), raising(s.py_vyi_algo_order_batch, None, b"n", b"p")),
        "algo_order_batch bad name": ((), raising(s.py_vyi_algo_order_batch, b"r", 1, b"p")),
        "get_child_orders ok": ((("set_response", "vyi_get_child_orders_pb", b"c"),),
                                lambda: s.py_vyi_get_child_orders(algo_id="a", account_id="b")),
        "get_child_orders failure": ((("set_status", "vyi_get_child_orders_pb", 4),),
                                     lambda: s.py_vyi_get_child_orders(b"a", b"b")),
        "get_child_orders bad": ((), raising(s.py_vyi_get_child_orders, b"a", None)),
        "smart_reorder ok": ((), lambda: s.py_vyi_smart_reorder(*REORDER)),
        "smart_reorder keywords": ((), lambda: s.py_vyi_smart_reorder(**keywords_reorder)),
        "smart_reorder overflow": ((), raising(s.py_vyi_smart_reorder, *reorder(volume=2**31))),
        "smart_reorder bad": ((), raising(s.py_vyi_smart_reorder, *reorder(time_wait="x", account=5))),
        "smart_reorder_cancel ok": ((), lambda: s.py_vyi_smart_reorder_cancel(3.9)),
        "smart_reorder_cancel bad": ((), raising(s.py_vyi_smart_reorder_cancel, IntLike(1.0))),
        "smart_reorder_cancel int subclass": ((), ignoring_warnings(s.py_vyi_smart_reorder_cancel, IntLike(True))),
        "set_bus_info ok": ((), lambda: s.py_vyi_set_bus_info("s", b"u", bytearray(b"p"))),
        "set_bus_info bad": ((), raising(s.py_vyi_set_bus_info, b"s", b"u")),
        "set_bus_secure ok": ((), lambda: s.py_vyi_set_bus_secure(1.9, b"a", "b", b"c", "0")),
        "set_bus_secure bad": ((), raising(s.py_vyi_set_bus_secure, FloatLike(1.0), b"a", b"b", b"c", True)),
        "add_bus_topic ok": ((), lambda: s.py_vyi_add_bus_topic("t")),
        "add_bus_topic bad": ((), raising(s.py_vyi_add_bus_topic, topic=b"t")),
        "send_msg_to_bus ok": ((), lambda: s.py_vyi_send_msg_to_bus(msg="m", topic=b"t")),
        "send_msg_to_bus bad": ((), raising(s.py_vyi_send_msg_to_bus, b"t", None)),
        "double conversion bad": ((), raising(s.py_vyi_smart_reorder, *reorder(price=FloatLike(1)))),
        "double conversion __float__": ((), lambda: s.py_vyi_smart_reorder(*reorder(price=FloatLike(2.5)))),
    }


LEAK_IDS = sorted(leak_cases())


@needs_debug_build
@pytest.mark.parametrize("case", LEAK_IDS)
def test_no_reference_leak(lib, case):
    lib.set_journaling(False)
    setup, action = leak_cases()[case]
    for method, libfn, value in setup:
        args = value if isinstance(value, tuple) else (value,)
        getattr(lib, method)(libfn, *args)
    assert refcount_growth(action) < 10


@needs_debug_build
@pytest.mark.parametrize("pid, c, libfn", PAIRS, ids=[p[0] for p in PAIRS])
def test_no_reference_leak_when_the_success_global_is_missing(lib, fresh_globals, pid, c, libfn):
    lib.set_journaling(False)
    name, args, kwargs = c
    del c_sdk.CSDK_OPERATE_SUCCESS
    assert refcount_growth(raising(getattr(c_sdk, name), *args, **kwargs)) < 10
    c_sdk.CSDK_OPERATE_SUCCESS = 0.0  # the rich comparison path
    program_pair(lib, pid, libfn, 0)
    assert refcount_growth(lambda: getattr(c_sdk, name)(*args, **kwargs)) < 10
