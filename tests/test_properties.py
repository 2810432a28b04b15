"""Property-based tests: every module function and direct export is called with
random arguments of every kind (ints at the C limits and beyond, floats,
str, bytes, bytearray, memoryview, subclasses whose __len__ lies, objects
whose __int__, __index__, __float__, __bool__ or __len__ raise or lie, and
random keyword orders) against random library behaviour (statuses, NULL and
contract-breaking responses, NULL texts).  For each call an independent model
of the conversion rules says whether it must fail, with which exception, or
which C values the library must see; then:

- nothing crashes;
- the library is called if and only if every conversion succeeded (journal);
- the arguments reach the library as converted;
- the result has its shape.

The properties run in a child interpreter (the one test collected by default)
so that a crash is a failing test, not a dead run.  Profiles, chosen by the
environment variable CSDK_PROPERTIES in the child: "ci" (derandomized, no
database, bounded to about a minute) and "fuzz" (random, with an example
database; scripts/fuzz.sh runs it for a given time and keeps reproducers).
"""
import math
import os
import subprocess
import sys

import pytest

from conftest import IS_DEBUG_BUILD, PKG, ROOT

PROFILE = os.environ.get("CSDK_PROPERTIES")

if not PROFILE:
    def test_properties_in_a_child_interpreter():
        pytest.importorskip("hypothesis")
        env = dict(os.environ, CSDK_PROPERTIES="ci", CSDK_PKG=PKG)
        r = subprocess.run([sys.executable, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider",
                            os.path.abspath(__file__)], cwd=ROOT, env=env, capture_output=True, text=True,
                           timeout=1200)
        tail = (r.stdout + r.stderr)[-8000:]
        assert r.returncode == 0, f"the property run failed or crashed (code {r.returncode}):\n{tail}"
        print(tail.strip().splitlines()[-1])

else:
    from hypothesis import HealthCheck, given, settings, strategies as st
    from hypothesis.database import DirectoryBasedExampleDatabase

    import vystandin
    from conftest import c_sdk
    from manifest import COMMANDS, DIRECT_EXPORTS, QUERIES, REGISTRATION

    SLOW = IS_DEBUG_BUILD or "asan" in os.environ.get("LD_PRELOAD", "")
    EXAMPLES = int(os.environ.get("CSDK_PROPERTY_EXAMPLES", "8" if SLOW else "20"))
    _common = dict(deadline=None, print_blob=True,
                   suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                          HealthCheck.filter_too_much])
    settings.register_profile("ci", max_examples=EXAMPLES, derandomize=True, database=None, **_common)
    FUZZ_DB = os.environ.get("CSDK_FUZZ_DB", os.path.join(ROOT, "build", "fuzz-findings", "db"))
    settings.register_profile("fuzz", max_examples=EXAMPLES, derandomize=False,
                              database=DirectoryBasedExampleDatabase(FUZZ_DB), **_common)
    settings.load_profile(PROFILE)

    INT_MIN, INT_MAX = -2**31, 2**31 - 1
    LONG_MIN, LONG_MAX = -2**63, 2**63 - 1
    SUCCESS = 0  # vy.constant.CSDK_OPERATE_SUCCESS, left bound

    # ---- what each function hands the library ------------------------------------------
    #
    # name -> (library function, C arguments in order, result kind).  A C argument
    # is "param:kind" (t text, r request, i int, d double, b truth value) or a
    # literal "out" / "null".  Conversions run in this order.  Written from the
    # calling Parts, independently of the module's table.
    Q = "req:r out out"
    TYPED = {
        "py_vyi_current": ("vyi_current_pb", "symbols:t include_call_auction:b fields:t out out", "pair"),
        "py_vyi_get_serv_addr": ("vyi_get_serv_addr", "serv_id:t out", "addr"),
        "py_vyi_set_bus_info": ("vyi_set_bus_info", "server_addr:t user_name:t password:t", "none"),
        "py_vyi_set_bus_secure": ("vyi_set_bus_secure", "in_mode:i tlsca:t tlscert:t tlskey:t skip_verify:b",
                                  "none"),
        "py_vyi_add_bus_topic": ("vyi_add_bus_topic", "topic:t", "none"),
        "py_vyi_send_msg_to_bus": ("vyi_send_msg_to_bus", "topic:t msg:t", "int"),
        "py_vyi_schedule": ("vyi_schedule", "date_rule:t time_rule:t", "int"),
        "py_vyi_set_backtest_config": (
            "vyi_set_backtest_config",
            "start_time:t end_time:t initial_cash:d transaction_ratio:d commission_ratio:d commission_unit:d "
            "slippage_ratio:d option_float_margin_ratio1:d option_float_margin_ratio2:d adjust:i match_mode:i "
            "check_cache:i", "int"),
        "py_vyi_set_backtest_intraday": ("vyi_set_backtest_intraday", "req:i", "none"),
        "py_vyi_set_strategy_id": ("vyi_set_strategy_id", "strategy_id:t", "none"),
        "py_vyi_subscribe": ("vyi_subscribe", "symbols:t frequency:t unsubscribe_previous:b", "int"),
        "py_vyi_set_token": ("vyi_set_token", "token:t", "int"),
        "py_vyi_get_encrypted_token": ("vyi_get_encrypted_token", "", "text"),
        "py_vyi_get_orgcode": ("vyi_get_orgcode", "", "text"),
        "py_vyi_set_mfp": ("vyi_set_mfp", "mfp:t", "none"),
        "py_vyi_set_apitoken": ("vyi_set_apitoken", "token:t", "none"),
        "py_vyi_unsubscribe": ("vyi_unsubscribe", "symbols:t frequency:t", "int"),
        "py_vyi_set_serv_addr": ("vyi_set_serv_addr", "addr:t", "none"),
        "py_vyi_set_ctp_md_info": ("vyi_set_ctp_md_info", "front_addresses:t user_name:t password:t", "none"),
        "py_vyi_get_accounts": ("vyi_get_account_info_pb", "out out", "pair"),
        "py_vyi_strerror": ("vyi_strerror", "errorno:i", "text"),
        "py_vyi_get_ext_errormsg": ("vyi_get_ext_errormsg", "", "text"),
        "py_vyi_run": ("vyi_run", "", "int"),
        "py_vyi_stop": ("vyi_stop", "", "int"),
        "py_vyi_set_timer": ("vyi_set_timer", "interval:i", "none"),
        "py_vyi_set_version": ("vyi_set_version", "sdk_version:t sdk_lang:t null null", "none"),
        "py_vyi_algo_order_batch": ("vyi_algo_order_batch_pb", "req:r algo_name:t algo_params:t out out", "pair"),
        "py_vyi_get_child_orders": ("vyi_get_child_orders_pb", "account_id:t algo_id:t out out", "pair"),
        "py_vyi_smart_reorder": (
            "vyi_smart_reorder",
            "symbol:t price:d volume:i side:i order_type:i position_effect:i repeat_n:i max_price_offset:i "
            "time_out:i time_wait:i account:t", "int"),
        "py_vyi_smart_reorder_cancel": ("vyi_smart_reorder_cancel", "reorder_id:i", "int"),
        "py_vyi_user_timer": ("vyi_user_timer", "period:i start_delay:i", "int"),
        "py_vyi_user_timer_stop": ("vyi_user_timer_stop", "timer_id:i", "none"),
        "py_vyi_set_serv_addr_v5": ("vyi_set_serv_addr_v5", "addr:t orgcode:t site_id:t", "none"),
        "py_vyi_set_account_id": ("vyi_set_account_id", "account_ids:t", "none"),
        "py_vyi_set_simtrade_only": ("vyi_set_simtrade_only", "", "none"),
        "py_vyi_set_max_wait_time": ("vyi_set_max_wait_time", "max_wait_time:i", "none"),
        "py_vyi_set_backtest_threadnum": ("vyi_set_backtest_threadnum", "n:i", "none"),
        "py_vyi_get_stop_error_code": ("vyi_get_stop_error_code", "", "int"),
        "py_vyi_use_dsproxy": ("vyi_use_dsproxy", "", "int"),
    }
    TYPED.update({name: (libfn, Q, "pair") for name, libfn, _ in QUERIES})
    TYPED.update({name: (libfn, "req:r", "int") for name, libfn, _ in COMMANDS})
    EXPORTED = {
        "vyi_add_bus_topic": ("vyi_add_bus_topic", "topic:t", "none"),
        "vyi_get_c_version": ("vyi_get_c_version", "", "text"),
        "vyi_get_encrypted_token": ("vyi_get_encrypted_token", "", "text"),
        "vyi_get_ext_errormsg": ("vyi_get_ext_errormsg", "", "text"),
        "vyi_get_orgcode": ("vyi_get_orgcode", "", "text"),
        "vyi_init": ("vyi_init", "", "int"),
        "vyi_now": ("vyi_now", "", "longlong"),
        "vyi_now_plus": ("vyi_now_plus", "", "double"),
        "vyi_poll": ("vyi_poll", "", "int"),
        "vyi_send_msg_to_bus": ("vyi_send_msg_to_bus", "topic:t msg:t", "int"),
        "vyi_set_bus_info": ("vyi_set_bus_info", "server_addr:t user_name:t password:t", "none"),
        "vyi_set_bus_secure": ("vyi_set_bus_secure", "in_mode:i tlsca:t tlscert:t tlskey:t skip_verify:b", "none"),
        "vyi_set_mode": ("vyi_set_mode", "mode:i", "none"),
        "vyi_strerror": ("vyi_strerror", "errorno:i", "text"),
    }
    # The frame's own functions, checked by properties of their own below.
    FRAME = ["is_windows", "is_linux", "adapt_to_python3", "c_status_ok", "c_status_fail",
             "py_vyi_set_data_callback"]
    DECORATED = {name for name, decorated, _ in REGISTRATION if decorated}
    PARAMS = {name: params for name, _, params in REGISTRATION}

    def test_the_tables_cover_every_function():
        assert set(TYPED) | set(FRAME) == set(PARAMS) and not set(TYPED) & set(FRAME)
        assert sorted(EXPORTED) == sorted(DIRECT_EXPORTS)
        for name, (_, c_args, _) in TYPED.items():
            named = [a.split(":")[0] for a in c_args.split() if ":" in a]
            assert sorted(named) == sorted(PARAMS[name]), name

    # ---- the arguments: each knows what every conversion must make of it ---------------

    class Boom(Exception):
        """Raised by the arguments' own dunders; must come out unchanged."""

    def ok(value):
        return ("ok", value)

    def fails(*exc):
        return ("raise", exc)

    def int_rule(v):
        return ok(v) if INT_MIN <= v <= INT_MAX else fails(OverflowError)

    def float_of(v):
        try:
            return ok(float(v))
        except OverflowError:
            return fails(OverflowError)

    def length_rule(n, then):
        """len() of an object whose __len__ returns n, then `then(n)`."""
        if n < 0:
            return fails(ValueError)
        if n > LONG_MAX:
            return fails(OverflowError)
        return then(n)

    class Arg:
        """One argument: `value` is passed; expect(kind) is the conversion's outcome."""
        text = None  # a str that a decorated function encodes first

        def expect(self, kind):
            return getattr(self, "as_" + kind)()

        def as_t(self):
            return fails(TypeError)

        def as_r(self):
            return fails(TypeError)

        def as_i(self):
            return fails(TypeError)

        def as_d(self):
            return fails(TypeError)

        def as_b(self):
            return ok(bool(self.value))

        def __repr__(self):
            return self.describe

    class IntArg(Arg):
        def __init__(self, v):
            self.value, self.describe = v, repr(v)

        def as_i(self):
            return int_rule(int(self.value))

        def as_d(self):
            return float_of(self.value)

    class FloatArg(Arg):
        def __init__(self, x):
            self.value, self.describe = x, f"float({x!r})"

        def as_i(self):
            x = self.value
            if math.isnan(x):
                return fails(ValueError)
            if math.isinf(x):
                return fails(OverflowError)
            return int_rule(int(x))

        def as_d(self):
            return ok(self.value)

    class NoneArg(Arg):
        value, describe = None, "None"

    class StrArg(Arg):
        def __init__(self, s):
            self.value = self.text = s
            self.describe = repr(s)

        def as_r(self):
            return fails(TypeError)

    class MemoryviewArg(Arg):
        def __init__(self, b):
            self.value, self.describe = memoryview(b), f"memoryview({b!r})"

    class BytesArg(Arg):
        """bytes or bytearray, maybe a subclass whose __len__ reports `lie`."""

        def __init__(self, b, base=bytes, subclass=False, lie=None):
            self.raw, self.lie = bytes(b), lie
            if subclass or lie is not None:
                ns = {} if lie is None else {"__len__": lambda self, n=lie: n}
                base = type("Sub" + base.__name__, (base,), ns)
            self.value = base(b)
            self.describe = f"{base.__name__}({self.raw!r})" + ("" if lie is None else f" with len {lie}")

        def as_t(self):
            return ok(self.raw.split(b"\0")[0])

        def as_r(self):
            if self.lie is None:
                return ok((self.raw, len(self.raw)))
            n = self.lie
            if n < 0:
                return fails(ValueError)
            if n > len(self.raw):  # refused, never read past the object's bytes
                return fails(ValueError, OverflowError)
            return ok((self.raw[:n], n))

        def as_b(self):
            if self.lie is None:
                return ok(len(self.raw) > 0)
            return length_rule(self.lie, lambda n: ok(n > 0))

    # A dunder's behaviour: None (absent), ("ret", value), ("bad",) (returns a
    # wrong type) or ("boom",) (raises Boom).
    def dunder(behaviour, bad):
        if behaviour[0] == "ret":
            return lambda self, v=behaviour[1]: v
        if behaviour[0] == "bad":
            return lambda self: bad

        def boom(self):
            raise Boom(behaviour)
        return boom

    def outcome(behaviour, then):
        if behaviour[0] == "bad":
            return fails(TypeError)
        if behaviour[0] == "boom":
            return fails(Boom)
        return then(behaviour[1])

    class ObjectArg(Arg):
        """A plain object, or an int subclass, whose protocol dunders raise or lie."""

        def __init__(self, int_value=None, **dunders):
            self.int_value, self.d = int_value, dunders
            bad = {"int": "x", "index": "x", "float": "x", "bool": 1, "len": "x"}
            ns = {f"__{k}__": dunder(b, bad[k]) for k, b in dunders.items() if b is not None}
            base = object if int_value is None else int
            cls = type("Odd" + base.__name__.capitalize(), (base,), ns)
            self.value = cls() if int_value is None else cls(int_value)
            own = ", ".join(f"{k}={b}" for k, b in dunders.items() if b is not None)
            self.describe = f"{cls.__name__}({'' if int_value is None else int_value})" + (own and " with " + own)

        def get(self, k):
            return self.d.get(k)

        def as_r(self):
            if self.get("len") is None:
                return fails(TypeError)
            return outcome(self.get("len"), lambda n: length_rule(n, lambda n: fails(TypeError)))

        def as_i(self):
            if self.int_value is not None:  # an int is taken by value, whatever its dunders say
                return int_rule(self.int_value)
            if self.get("int") is None:
                return fails(TypeError)
            return outcome(self.get("int"), int_rule)

        def as_d(self):
            if self.get("float") is not None:
                return outcome(self.get("float"), ok)
            if self.int_value is not None:
                return float_of(self.int_value)
            if self.get("index") is not None:
                return outcome(self.get("index"), float_of)
            return fails(TypeError)

        def as_b(self):
            if self.get("bool") is not None:
                return outcome(self.get("bool"), ok)
            if self.int_value is not None:
                return ok(self.int_value != 0)
            if self.get("len") is not None:
                return outcome(self.get("len"), lambda n: length_rule(n, lambda n: ok(n > 0)))
            return ok(True)

    # ---- strategies ---------------------------------------------------------------------

    LIMITS = [0, 1, -1, INT_MAX, INT_MIN, INT_MAX + 1, INT_MIN - 1, LONG_MAX, LONG_MIN, LONG_MAX + 1,
              LONG_MIN - 1, 2**64, -2**64, 10**30]
    ints = st.one_of(st.sampled_from(LIMITS), st.integers(INT_MIN, INT_MAX), st.integers(-2**70, 2**70))
    floats = st.one_of(st.floats(), st.sampled_from([0.5, -0.5, 2.9, -2.9, 2.0**31, -2.0**31 - 0.5, 1e300]))
    payload = st.binary(max_size=48)

    def behaviour(values, bad=True):
        choices = [st.just(None), values.map(lambda v: ("ret", v)), st.just(("boom",))]
        if bad:
            choices.append(st.just(("bad",)))
        return st.one_of(*choices)

    lengths = st.one_of(st.integers(0, 8), st.sampled_from([-1, 2**31, 2**63]))
    odd_objects = st.builds(
        ObjectArg,
        int_value=st.one_of(st.none(), ints),
        int=behaviour(ints), index=behaviour(ints),
        float=behaviour(st.floats(allow_nan=False)), bool=behaviour(st.booleans()), len=behaviour(lengths))
    arguments = st.one_of(
        ints.map(IntArg), st.booleans().map(IntArg), floats.map(FloatArg), st.just(NoneArg()),
        st.text(max_size=12).map(StrArg), st.text(alphabet="abc\0 .,", max_size=12).map(StrArg),
        payload.map(MemoryviewArg),
        st.builds(BytesArg, payload, st.sampled_from([bytes, bytearray]), st.booleans()),
        st.builds(BytesArg, payload, st.sampled_from([bytes, bytearray]), st.just(True),
                  st.one_of(st.integers(-1, 52), st.sampled_from([2**31, 2**40]))),
        odd_objects)

    def fitting(kind):
        """Arguments that the kind accepts, so whole calls often reach the library."""
        return {"t": st.builds(BytesArg, payload, st.sampled_from([bytes, bytearray])),
                "r": st.builds(BytesArg, payload, st.sampled_from([bytes, bytearray])),
                "i": st.one_of(st.sampled_from([INT_MIN, INT_MAX, 0, -1]),
                               st.integers(INT_MIN, INT_MAX)).map(IntArg),
                "d": floats.map(FloatArg),
                "b": st.one_of(st.booleans().map(IntArg), st.just(NoneArg()))}[kind]

    statuses = st.one_of(st.just(SUCCESS), st.sampled_from([1, -1, INT_MAX, INT_MIN]),
                         st.integers(INT_MIN, INT_MAX))
    texts = st.one_of(st.none(), st.binary(max_size=32).map(lambda b: b.replace(b"\0", b"")))
    responses = st.one_of(payload.map(lambda b: ("bytes", b)),
                          st.tuples(st.just("raw"), st.booleans(),
                                    st.one_of(st.integers(-3, 64), st.sampled_from([INT_MIN, 1 << 20]))))

    @st.composite
    def calls(draw, name, c_args):
        """(positional names, keyword names, argument by name, well-formed)."""
        params = [a.split(":") for a in c_args.split() if ":" in a]
        kinds = dict(params)
        names = list(PARAMS.get(name) or [p for p, _ in params])
        args = {p: draw(st.one_of(fitting(kinds[p]), arguments)) for p in names}
        positional, keywords = names, []
        if len(names) >= 2:  # by position or by name, in any order
            split = draw(st.integers(0, len(names)))
            positional, keywords = names[:split], draw(st.permutations(names[split:]))
        form = draw(st.sampled_from(["good"] * 6 + ["missing", "extra", "unknown", "keyword"]))
        if form == "missing" and names:
            if keywords:
                keywords = keywords[:-1]
            else:
                positional = positional[:-1]
        elif form == "extra":
            args["_extra"] = draw(arguments)
            positional = positional + ["_extra"]
        elif form == "unknown" or form == "keyword" and not names:
            args["zz_unknown"] = draw(arguments)
            keywords = list(keywords) + ["zz_unknown"]
        elif form == "keyword" and len(names) == 1:
            positional, keywords = [], names
        else:
            form = "good"
        return positional, keywords, args, form == "good"

    # ---- the model of one call and the check ------------------------------------------

    def expected_call(name, spec, decorated, positional, keywords, args, well_formed):
        """("raise", exception types) before the library, or ("call", C arguments)."""
        libfn, c_args, _ = spec
        passed = [args[p] for p in positional] + [args[k] for k in keywords]
        if decorated:
            for a in passed:
                if a.text is not None and not a.text.isascii():
                    return ("raise", (UnicodeEncodeError,))
        if not well_formed:
            return ("raise", (TypeError,))
        seen = []
        for token in c_args.split():
            if token == "out":
                seen.append("out")
                continue
            if token == "null":
                seen.append(None)
                continue
            param, kind = token.split(":")
            arg = args[param]
            if decorated and arg.text is not None:
                arg = BytesArg(arg.text.encode("ascii"))
            result = arg.expect(kind)
            if result[0] == "raise":
                return ("raise", result[1])
            seen.append(result[1])
        return ("call", seen)

    def same(actual, expected):
        if isinstance(expected, (tuple, list)):
            return (type(actual) is type(expected) and len(actual) == len(expected)
                    and all(same(a, e) for a, e in zip(actual, expected)))
        if isinstance(expected, float):
            return isinstance(actual, float) and (actual == expected or math.isnan(actual) and math.isnan(expected))
        return type(actual) is type(expected) and actual == expected

    def program(lib, libfn, kind, status, text, response, number):
        if kind in ("int", "pair", "addr"):
            lib.set_status(libfn, status)
        if kind in ("text", "addr"):
            lib.set_text(libfn, text)
        if kind == "pair":
            if response[0] == "bytes":
                lib.set_response(libfn, response[1])
            else:
                lib.set_response_raw(libfn, response[1], response[2])
        if kind == "longlong":
            lib.set_longlong(libfn, number)
        if kind == "double":
            lib.set_double(libfn, float(number))

    def check_result(kind, result, status, text, response, number):
        """True when the result has its shape; a broken response may also raise."""
        if kind == "int":
            return same(result, status)
        if kind == "none":
            return result is None
        if kind == "text":
            return same(result, text or b"")
        if kind == "addr":
            return result is None if status != SUCCESS else same(result, text or b"")
        if kind == "longlong":
            return same(result, number)
        if kind == "double":
            return same(result, float(number))
        assert kind == "pair"
        if status != SUCCESS:
            return same(result, (status, None))
        if response[0] == "bytes":
            return same(result, (status, response[1]))
        _, null, n = response
        return same(result, (status, b"" if null else b"\xa5" * n))

    def broken(kind, status, response):
        return (kind == "pair" and status == SUCCESS and response[0] == "raw"
                and (response[2] < 0 or response[1] and response[2] > 0))

    LAST = os.environ.get("CSDK_FUZZ_LAST")

    def note(text):
        """In the fuzz run: what is about to be called, kept if the process dies."""
        if LAST:
            with open(LAST, "w") as f:
                f.write(text + "\n")

    LIB = vystandin.StandIn()

    def run_one(fn, name, spec, decorated, data):
        lib = LIB
        lib.reset()
        libfn, c_args, kind = spec
        positional, keywords, args, well_formed = data.draw(calls(name, c_args))
        status, text, response = data.draw(statuses), data.draw(texts), data.draw(responses)
        number = data.draw(st.one_of(st.integers(LONG_MIN, LONG_MAX), st.integers(-2**53, 2**53)))
        program(lib, libfn, kind, status, text, response, number)
        lib.clear_journal()
        expected = expected_call(name, spec, decorated, positional, keywords, args, well_formed)
        call = (f"{name}(" + ", ".join([repr(args[p]) for p in positional] +
                                      [f"{k}={args[k]!r}" for k in keywords]) + ")"
                + f" with status={status} text={text!r} response={response}")
        note(call)
        try:
            result, raised = fn(*[args[p].value for p in positional],
                                **{k: args[k].value for k in keywords}), None
        except Exception as e:  # the model decides whether it was due
            result, raised = None, e
        journal = lib.journal()
        lib.reset()
        if expected[0] == "raise":
            assert isinstance(raised, expected[1]), f"{call}: expected {expected[1]}, got {raised!r}"
            assert journal == [], f"{call}: refused, yet the library was called: {journal}"
            return
        assert [c.fn for c in journal] == [libfn], f"{call}: library calls {journal}, raised {raised!r}"
        assert same(journal[0].args, expected[1]), f"{call}: library saw {journal[0].args!r}, not {expected[1]!r}"
        if raised is not None:
            assert broken(kind, status, response), f"{call}: raised {raised!r}"
            return
        assert check_result(kind, result, status, text, response, number), f"{call}: result {result!r}"

    # ---- the properties ---------------------------------------------------------------

    @pytest.mark.parametrize("name", sorted(TYPED))
    @given(data=st.data())
    def test_module_function(name, data):
        run_one(getattr(c_sdk, name), name, TYPED[name], name in DECORATED, data)

    @pytest.mark.parametrize("name", sorted(EXPORTED))
    @given(data=st.data())
    def test_direct_export(name, data):
        run_one(getattr(c_sdk, name), name, EXPORTED[name], False, data)

    @given(status=arguments, name=st.one_of(arguments, st.just(IntArg(0))), text=texts,
           by_keyword=st.booleans())
    def test_status_predicates(status, name, text, by_keyword):
        lib = LIB
        lib.reset()
        lib.set_text("vyi_strerror", text)
        lib.clear_journal()
        note(f"c_status_ok/c_status_fail({status!r}, {name!r}) text={text!r}")
        assert c_sdk.c_status_ok(status.value) == (status.value == SUCCESS)
        assert lib.journal() == []
        isfail = status.value != SUCCESS
        try:
            if by_keyword:
                result, raised = c_sdk.c_status_fail(cfunname=name.value, status=status.value), None
            else:
                result, raised = c_sdk.c_status_fail(status.value, name.value), None
        except Exception as e:
            result, raised = None, e
        journal = lib.journal()
        lib.reset()
        converted = status.expect("i")
        if not isfail:
            assert (result, raised, journal) == (False, None, [])
        elif converted[0] == "raise":
            assert isinstance(raised, converted[1]) and journal == []
        else:
            assert [(c.fn, c.args) for c in journal] == [("vyi_strerror", [converted[1]])]
            assert result is True or isinstance(raised, (UnicodeDecodeError, Boom, TypeError, ValueError,
                                                         OverflowError))

    @given(arg=arguments, extra=st.booleans())
    def test_frame_functions(arg, extra):
        lib = LIB
        lib.reset()
        note(f"frame functions with {arg!r}")
        for name in ("is_windows", "is_linux"):
            if extra:
                with pytest.raises(TypeError):
                    getattr(c_sdk, name)(arg.value)
            else:
                assert type(getattr(c_sdk, name)()) is bool
        wrapper = c_sdk.adapt_to_python3(arg.value)
        assert wrapper.__name__ == "wrapper"
        assert lib.journal() == []
        saved = vars(c_sdk).get("f")
        try:
            assert c_sdk.py_vyi_set_data_callback(arg.value) is None and c_sdk.f is arg.value
            assert [(c.fn, c.args) for c in lib.journal()] == [("vyi_set_event_callback_pb", ["callback"])]
        finally:
            c_sdk.f = saved
            lib.reset()
