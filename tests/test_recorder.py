"""The recording library: a session against a library playing the real one
(the stand-in's second build) is recorded, replayed on the stand-in, and the
strategy sees the same events and answers; failures never stop the calls.

Every recorded run happens in a subprocess, with a staged copy of the
importable tree whose libvy3-c.so is the recorder."""
import base64
import json
import os
import shutil
import subprocess
import sys

import pytest

from conftest import PKG, ROOT
from recordings import ALT, PARTIAL, STANDIN_DIR, keep_as_seed, replay, run_recorded, staged  # noqa: F401

# Events the library delivers: (type, payload), every awkward byte included.
EVENTS = [
    ("tick", b"plain text"),
    ("tick", b"nul\x00inside\x00"),
    ("bar", b"line\nbreak and\r\ncrlf"),
    ("execrpt", b"back\\slash \\n not an escape"),
    ("empty", b""),
    ("spaces", b"  leading and trailing  "),
    ("tabs", b"\ttab\t"),
    ("binary", bytes(range(256))),
    ("utf8", "\u884c\u60c5".encode()),
    ("#hash", b"# not a comment"),
]

# What the library answers: (function, status, response) for queries.
QUERIES = [
    ("vyi_get_orders_pb", 0, b"orders\x00with nul"),
    ("vyi_get_cash_pb", 1017, b""),
    ("vyi_get_positions_pb", 0, b""),
    ("vyi_get_account_status_pb", 0, bytes(range(256))),
    ("vyi_get_execution_reports_pb", 0, b"ab"),
    ("vyi_place_order_pb", 0, b"line\nback\\slash"),
]

# The session, run live (programming the library behind the recorder) and in
# replay (the stand-in answering from the recording). It prints what the
# strategy saw, and the library's journal.
SESSION = """
import json, os, sys
import vy.csdk.c_sdk as c
import vystandin

LIVE = os.environ.get("VY_RECORD_TARGET")
si = vystandin.StandIn(LIVE) if LIVE else vystandin.StandIn()
si.reset()
if LIVE:
    for t, p in EVENTS:
        si.push_event(t, p)
    for fn, status, response in QUERIES:
        si.set_status(fn, status)
        si.set_response(fn, response)
    si.set_text("vyi_strerror", b"account not logged in")
    si.set_text("vyi_get_serv_addr", b"10.0.0.7:7001")
    si.set_longlong("vyi_now", 1234567890123)
    si.set_double("vyi_now_plus", 1234567.25)
    si.set_status("vyi_subscribe", 3)
    si.set_status("vyi_user_timer", 42)
else:
    si.load_call_file(sys.argv[1])
    si.load_event_file(sys.argv[2])

seen = []
def h(b):
    return None if b is None else b.hex()
def on_event(t, p):
    seen.append(["event", t, p.hex()])
    # Queries from inside the callback, as a strategy makes them.
    status, res = c.py_vyi_get_orders(b"inside " + t.encode())
    seen.append(["orders", status, h(res)])
c.py_vyi_set_data_callback(on_event)
for fn, _, _ in QUERIES:
    status, res = getattr(c, "py_" + fn[:-3])(b"req\\x00" + fn.encode())
    seen.append([fn, status, h(res)])
seen.append(["strerror", c.py_vyi_strerror(1017).hex()])
seen.append(["serv_addr", repr(c.py_vyi_get_serv_addr(b"trade"))])
seen.append(["version", c.vyi_get_c_version().hex()])
seen.append(["now", c.vyi_now(), c.vyi_now_plus()])
seen.append(["subscribe", c.py_vyi_subscribe(b"SHSE.600000", b"tick", True)])
seen.append(["user_timer", c.py_vyi_user_timer(1000, 0)])
c.py_vyi_set_timer(100)
seen.append(["run", c.py_vyi_run()])
journal = [[call.fn, repr(call.args)] for call in si.journal()]
print(json.dumps({"seen": seen, "journal": journal}))
"""


def session_code():
    return f"EVENTS = {EVENTS!r}\nQUERIES = {QUERIES!r}\n" + SESSION


@pytest.fixture(scope="module")
def recorded(staged, tmp_path_factory):
    """One live session through the recorder, with its files."""
    d = tmp_path_factory.mktemp("session")
    events, calls = d / "session.events", d / "session.calls"
    r = run_recorded(staged, session_code(), events=events, calls=calls)
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""
    keep_as_seed(events, calls)
    return json.loads(r.stdout), events, calls


# ---- recording and replay ----------------------------------------------------

def test_the_live_session_sees_what_the_library_delivers(recorded):
    live, _, _ = recorded
    events = [(e[1], bytes.fromhex(e[2])) for e in live["seen"] if e[0] == "event"]
    assert events == [(t, p) for t, p in EVENTS]
    answers = {e[0]: e[1:] for e in live["seen"] if e[0].startswith("vyi_")}
    for fn, status, response in QUERIES:
        assert answers[fn] == [status, response.hex() if status == 0 else None]


def test_replay_gives_the_callable_the_same_events_and_answers(recorded):
    live, events, calls = recorded
    r = replay(session_code(), calls, events)
    assert r.returncode == 0, r.stderr
    assert json.loads(r.stdout)["seen"] == live["seen"]


def test_replay_makes_the_same_library_calls(recorded):
    live, events, calls = recorded
    r = replay(session_code(), calls, events)
    assert r.returncode == 0, r.stderr
    assert json.loads(r.stdout)["journal"] == live["journal"]


def test_every_recorded_result_is_played_back(recorded, lib):
    _, events, calls = recorded
    n = lib.load_call_file(calls)
    assert n == lib.pending_calls() > len(QUERIES)


def test_the_event_file_keeps_every_payload_byte_with_escapes(recorded, lib):
    _, events, _ = recorded
    lines = events.read_text("utf-8").splitlines()
    assert lines[1].split(" ", 2)[1:] == ["tick", "nul\\0inside\\0"]
    assert lines[2].split(" ", 2)[2] == "line\\nbreak and\\r\\ncrlf"
    assert lines[3].split(" ", 2)[2] == "back\\\\slash \\\\n not an escape"
    assert lines[4].split(" ", 2)[1:] == ["empty", ""]
    times = [int(line.split(" ", 1)[0]) for line in lines]
    assert times[0] == 0 and times == sorted(times)
    assert events.read_bytes().isascii()
    assert lib.load_event_file(events) == len(EVENTS)


def b64(data):
    return base64.b64encode(data).decode()


def test_the_call_file_holds_arguments_and_results(recorded):
    _, _, calls = recorded
    lines = [json.loads(line) for line in calls.read_text().splitlines()]
    assert sorted(line["seq"] for line in lines) == list(range(len(lines)))
    req = b64(b"req\0vyi_get_orders_pb")
    [orders] = [c for c in lines if c["fn"] == "vyi_get_orders_pb" and c["args"][0]["b64"] == req]
    assert orders["args"] == [{"k": "req", "null": False, "len": 21, "b64": req},
                              {"k": "out", "null": False}, {"k": "out", "null": False}]
    assert orders["ret"] == {"k": "int", "v": 0}
    assert orders["res"] == {"set": True, "null": False, "len": 15, "b64": b64(b"orders\x00with nul")}
    [now] = [c for c in lines if c["fn"] == "vyi_now"]
    assert now["ret"] == {"k": "int", "v": 1234567890123}
    [addr] = [c for c in lines if c["fn"] == "vyi_get_serv_addr"]
    assert addr["out"] == {"set": True, "null": False, "b64": b64(b"10.0.0.7:7001")}
    [timer] = [c for c in lines if c["fn"] == "vyi_set_timer"]
    assert "ret" not in timer and timer["args"] == [{"k": "int", "v": 100}]


# Bytes of every length across the encoder's twelve-byte steps and its tail.
LENGTHS_CODE = """
import os
import vy.csdk.c_sdk as c
import vystandin
si = vystandin.StandIn(os.environ["VY_RECORD_TARGET"])
si.reset()
for n in range(80):
    si.set_response("vyi_get_cash_pb", bytes((7 * i + n) % 256 for i in range(n)))
    c.py_vyi_get_cash(bytes((255 - i - n) % 256 for i in range(n)))
"""


def test_bytes_of_every_length_are_recorded_in_standard_base64(staged, tmp_path):
    r = run_recorded(staged, LENGTHS_CODE, calls=tmp_path / "c")
    assert (r.returncode, r.stderr) == (0, "")
    lines = [json.loads(line) for line in (tmp_path / "c").read_text().splitlines()]
    cash = sorted((c for c in lines if c["fn"] == "vyi_get_cash_pb"), key=lambda c: c["seq"])
    assert len(cash) == 80
    for n, line in enumerate(cash):
        assert line["args"][0] == {"k": "req", "null": False, "len": n,
                                   "b64": b64(bytes((255 - i - n) % 256 for i in range(n)))}
        assert line["res"] == {"set": True, "null": False, "len": n,
                               "b64": b64(bytes((7 * i + n) % 256 for i in range(n)))}


def test_a_record_larger_than_a_batch_is_written_whole_between_small_ones(staged, tmp_path):
    code = ("import vy.csdk.c_sdk as c\n"
            "for n in (5, 3 << 20, 7):\n"
            "    c.py_vyi_get_cash(bytes(i % 251 for i in range(n)))\n")
    r = run_recorded(staged, code, calls=tmp_path / "c")
    assert (r.returncode, r.stderr) == (0, "")
    lines = [json.loads(line) for line in (tmp_path / "c").read_text().splitlines()]
    reqs = [c["args"][0] for c in sorted(lines, key=lambda c: c["seq"]) if c["fn"] == "vyi_get_cash_pb"]
    assert [(q["len"], q["b64"]) for q in reqs] == [(n, b64(bytes(i % 251 for i in range(n))))
                                                   for n in (5, 3 << 20, 7)]


def test_recording_only_events_leaves_calls_unwritten(staged, tmp_path):
    code = "import vy.csdk.c_sdk as c\nprint(c.py_vyi_get_orders(b'x'))"
    r = run_recorded(staged, code, events=tmp_path / "e")
    assert (r.returncode, r.stdout, r.stderr) == (0, "(0, b'')\n", "")
    assert (tmp_path / "e").read_bytes() == b""
    assert os.listdir(tmp_path) == ["e"]


def test_an_event_type_the_file_cannot_hold_is_noted_and_still_delivered(staged, tmp_path):
    code = """
import os, vystandin, vy.csdk.c_sdk as c
si = vystandin.StandIn(os.environ["VY_RECORD_TARGET"])
si.reset()
for t in (b"ok", b"two words", b"", b"ok"):
    si.push_event(t, b"p")
seen = []
c.py_vyi_set_data_callback(lambda t, p: seen.append(t))
c.py_vyi_run()
print(seen)
"""
    r = run_recorded(staged, code, events=tmp_path / "e")
    assert r.returncode == 0, r.stderr
    assert r.stdout == "['ok', 'two words', '', 'ok']\n"
    assert r.stderr.count("\n") == 1 and "message type" in r.stderr
    lines = (tmp_path / "e").read_text().splitlines()
    assert [line.split(" ")[1] for line in lines if not line.startswith("#")] == ["ok", "ok"]
    assert sum(line.startswith("# ") for line in lines) == 2


def test_a_killed_process_keeps_what_was_recorded_before_a_pause(staged, tmp_path):
    code = """
import os, signal, time, vy.csdk.c_sdk as c
for i in range(3):
    c.py_vyi_get_orders(b"q")
time.sleep(0.5)  # the writer picks up the quiet batch
os.kill(os.getpid(), signal.SIGKILL)
"""
    r = run_recorded(staged, code, calls=tmp_path / "c")
    assert r.returncode == -9
    fns = [json.loads(line)["fn"] for line in (tmp_path / "c").read_text().splitlines()]
    assert fns == ["vyi_get_orders_pb"] * 3


# ---- the demo ----------------------------------------------------------------

def run_script(args, pythonpath):
    env = dict({k: v for k, v in os.environ.items() if not k.startswith("VY_RECORD_")},
               PYTHONPATH=os.pathsep.join(pythonpath))
    return subprocess.run([sys.executable] + args, capture_output=True, text=True, env=env, timeout=60,
                          cwd=os.path.dirname(PKG))


def test_a_replay_of_the_demo_session_gives_the_demo_output(tmp_path):
    demo = os.path.join(ROOT, "examples", "demo.py")
    path = [PKG, STANDIN_DIR]
    plain = run_script([demo], path)
    events, calls = tmp_path / "demo.events", tmp_path / "demo.calls"
    live = run_script([os.path.join(ROOT, "recorder", "record.py"), "--pkg", PKG, "--target", ALT,
                       "--events", str(events), "--calls", str(calls), demo], path)
    replayed = run_script([os.path.join(ROOT, "recorder", "replay.py"), str(events), str(calls), demo], path)
    for r in (plain, live, replayed):
        assert (r.returncode, r.stderr) == (0, ""), r.stdout + r.stderr
    # Recording changes nothing the strategy sees.
    assert live.stdout == plain.stdout
    # The replay answers as the session did. Only the stand-in's own count of
    # queued events differs: the session never delivered its last tick, so
    # the recording does not hold it.
    unplayed = "  events left unplayed: "
    assert [line for line in replayed.stdout.splitlines() if not line.startswith(unplayed)] == \
        [line for line in plain.stdout.splitlines() if not line.startswith(unplayed)]
    assert unplayed + "0" in replayed.stdout.splitlines()


# ---- failures ----------------------------------------------------------------

# What each call shape returns when its function is unavailable.
UNAVAILABLE = """
import vy.csdk.c_sdk as c
c.py_vyi_set_data_callback(print)
print(c.py_vyi_get_orders(b"x"), c.py_vyi_cancel_order(b"x"), c.py_vyi_set_token(b"t"),
      c.py_vyi_get_serv_addr(b"a"), c.py_vyi_set_serv_addr(b"x"), c.py_vyi_run(),
      c.vyi_get_c_version(), c.vyi_init(), c.vyi_now(), c.vyi_now_plus(), c.py_vyi_strerror(3))
"""
UNAVAILABLE_OUT = "(-1, None) -1 -1 None None -1 b'' -1 0 0.0 b''\n"


@pytest.mark.parametrize("target, message", [
    (None, "VY_RECORD_TARGET is not set"),
    ("", "VY_RECORD_TARGET is not set"),
    ("/nonexistent/libvy3-c.so", "cannot load VY_RECORD_TARGET /nonexistent/libvy3-c.so"),
    (os.path.join(ROOT, "README.md"), "cannot load VY_RECORD_TARGET"),
    ("libvy3-c.so", "is the recorder itself"),
], ids=["unset", "empty", "missing-file", "not-a-library", "itself"])
def test_without_a_usable_target_calls_return_an_error_status(staged, target, message):
    r = run_recorded(staged, UNAVAILABLE, target=target)
    assert r.returncode == 0, r.stderr
    assert r.stdout == UNAVAILABLE_OUT
    assert r.stderr.count("\n") == 1 and message in r.stderr, r.stderr


def test_the_recorder_as_its_own_target_is_refused(staged):
    r = run_recorded(staged, UNAVAILABLE, target=os.path.join(staged, "vy", "csdk", "libvy3-c.so"))
    assert (r.returncode, r.stdout) == (0, UNAVAILABLE_OUT), r.stderr
    assert r.stderr.count("\n") == 1 and "is the recorder itself" in r.stderr


def test_a_target_lacking_functions_is_named_and_the_rest_still_forward(staged, tmp_path):
    r = run_recorded(staged, UNAVAILABLE, target=PARTIAL, calls=tmp_path / "c")
    assert r.returncode == 0, r.stderr
    assert r.stdout == UNAVAILABLE_OUT.replace("b'' -1 0", "b'partial 1.0' 7 0")
    assert r.stderr.count("\n") == 1
    assert "lacks 184 SDK function(s): vyi_current_price_pb, " in r.stderr
    fns = [json.loads(line)["fn"] for line in (tmp_path / "c").read_text().splitlines()]
    assert "vyi_init" in fns and "vyi_get_orders_pb" in fns  # unavailable calls are recorded too


SESSION_UNDER_FAILURE = """
import os, vystandin, vy.csdk.c_sdk as c
si = vystandin.StandIn(os.environ["VY_RECORD_TARGET"])
si.reset()
si.set_response("vyi_get_orders_pb", b"r")
for i in range(3):
    si.push_event(b"tick", b"x" * 70000)  # more than one batch
seen = []
c.py_vyi_set_data_callback(lambda t, p: seen.append((t, len(p), c.py_vyi_get_orders(b"q"))))
print(c.py_vyi_run(), seen, c.py_vyi_get_orders(b"q"))
print(c.py_vyi_run(), c.py_vyi_get_orders(b"q"))
"""
SESSION_UNDER_FAILURE_OUT = ("0 [('tick', 70000, (0, b'r')), ('tick', 70000, (0, b'r')), ('tick', 70000, (0, b'r'))]"
                             " (0, b'r')\n0 (0, b'r')\n")


@pytest.mark.parametrize("which, path, message", [
    ("events", "/dev/full", "writing events file /dev/full failed (No space left on device)"),
    ("calls", "/dev/full", "writing calls file /dev/full failed (No space left on device)"),
    ("events", "/nonexistent/dir/session.events", "cannot open events file /nonexistent/dir/session.events"),
    ("calls", "/nonexistent/dir/session.calls", "cannot open calls file /nonexistent/dir/session.calls"),
    ("events", "/", "cannot open events file /"),
])
def test_a_file_that_cannot_be_written_stops_recording_not_calls(staged, which, path, message):
    r = run_recorded(staged, SESSION_UNDER_FAILURE, **{which: path})
    assert r.returncode == 0, r.stderr
    assert r.stdout == SESSION_UNDER_FAILURE_OUT
    assert r.stderr.count("\n") == 1 and message in r.stderr, r.stderr


@pytest.mark.parametrize("events, calls, message", [
    ("TARGET", None, "not writing events file {events}: it is VY_RECORD_TARGET"),
    (None, "TARGET", "not writing calls file {calls}: it is VY_RECORD_TARGET"),
    ("SELF", None, "not writing events file {events}: it is the recorder itself"),
    ("{tmp}/one", "{tmp}/./one", "not writing calls file {calls}: it is the events file too"),
], ids=["events-over-target", "calls-over-target", "over-recorder", "one-file-for-both"])
def test_a_record_file_that_would_destroy_a_file_is_refused(staged, tmp_path, events, calls, message):
    target = tmp_path / "target.so"
    shutil.copy2(ALT, target)
    names = {"TARGET": str(target), "SELF": os.path.join(staged, "vy", "csdk", "libvy3-c.so")}
    events, calls = [None if v is None else names.get(v, v.format(tmp=tmp_path)) for v in (events, calls)]
    if events and events.endswith("one"):
        open(events, "w").close()
    r = run_recorded(staged, SESSION_UNDER_FAILURE, target=target, events=events, calls=calls)
    assert (r.returncode, r.stdout) == (0, SESSION_UNDER_FAILURE_OUT), r.stderr
    assert r.stderr.count("\n") == 1 and message.format(events=events, calls=calls) in r.stderr, r.stderr
    with open(ALT, "rb") as a, open(target, "rb") as b:
        assert a.read() == b.read()


def test_one_failing_file_leaves_the_other_recording(staged, tmp_path):
    r = run_recorded(staged, SESSION_UNDER_FAILURE, events="/dev/full", calls=tmp_path / "c")
    assert (r.returncode, r.stdout) == (0, SESSION_UNDER_FAILURE_OUT), r.stderr
    assert r.stderr.count("\n") == 1
    fns = [json.loads(line)["fn"] for line in (tmp_path / "c").read_text().splitlines()]
    assert fns.count("vyi_get_orders_pb") == 5 and fns.count("vyi_run") == 2


# ---- loading call files ------------------------------------------------------

GOOD = '{"seq": 0, "fn": "vyi_init", "args": [], "ret": {"k": "int", "v": 5}}'


@pytest.mark.parametrize("text, error", [
    ("not json", "line 1: not JSON (column 2: syntax error while parsing value - invalid literal; last read: 'no')"),
    (GOOD + "\n" + GOOD.replace("vyi_init", "vyi_nope"), "line 2: unknown SDK function \"vyi_nope\""),
    ('{"fn": "vyi_init"}', "line 1: no \"seq\""),
    (GOOD.replace('"v": 5', '"v": "five"'), "line 1: bad \"ret\" value"),
    ('{"seq": 0, "fn": "vyi_get_orders_pb", "res": {"set": true, "null": false, "len": 3, "b64": "YQ=="}}',
     "line 1: bad \"res\" bytes"),
    ('{"seq": 0, "fn": "vyi_get_orders_pb", "res": {"set": true, "null": false, "len": 1, "b64": "Y Q="}}',
     "line 1: bad \"res\" bytes"),
    ('{"seq": 0, "fn": "vyi_init"', "line 1: not JSON (column 28: syntax error while parsing object - "
                                    "unexpected end of input; expected '}')"),
    ('{"seq": 0, "fn": "vyi_init", "ret": {"k": "int", "v": "a\\q"}}',
     "line 1: not JSON (column 58: syntax error while parsing value - invalid string: forbidden character after "
     "backslash; last read: '\"a\\q')"),
    ('{"seq": 0, "fn": "vyi_init", "ret": {"k": "text", "null": false, "b64": ""}}',
     "line 1: \"ret\" is text, but vyi_init returns int"),
    ('{"seq": 0, "fn": "vyi_init", "args": [{"k": "blob"}]}', "line 1: bad argument 0: unknown kind \"blob\""),
    ('{"seq": 0, "fn": "vyi_set_timer", "args": [{"k": "int", "v": 1.5}]}', "line 1: bad argument 0: bad \"v\""),
    ('{"seq": 0, "fn": "vyi_get_orders_pb", "args": [{"k": "req", "null": false, "len": 2147483647, "b64": "YQ=="}]}',
     "line 1: bad argument 0: \"len\" does not match the bytes"),
    ('{"seq": 0, "fn": "vyi_get_orders_pb", "args": [{"k": "req", "null": false, "len": 99999999999, "b64": ""}]}',
     "line 1: bad argument 0: bad \"len\""),
    ('{"seq": 0, "fn": "vyi_get_encrypted_token", "ret": {"k": "text", "null": false, "redacted": true, '
     '"len": 99999999999}}', "line 1: bad \"ret\" text: bad redacted \"len\""),
    ('{"seq": 0, "fn": "vyi_get_orders_pb", "res": {"set": true, "null": false, "len": 4294967296, "b64": ""}}',
     "line 1: bad \"res\""),
    ("[" * 20 + "]" * 20, "line 1: nested too deeply"),
    ('{"seq": 0, "fn": "vyi_init", "args": "none"}', "line 1: \"args\" is not a list"),
    ('{"seq": 0, "fn": "vyi_init\\u0000x"}', "line 1: unknown SDK function \"vyi_init\\u0000x\""),
], ids=["not-json", "unknown-fn", "no-seq", "bad-ret", "short-res", "bad-base64", "truncated", "bad-escape",
        "ret-kind", "arg-kind", "arg-value-kind", "huge-req-len", "req-len-past-int", "huge-redacted-len",
        "res-len-past-int", "deep", "args-not-list", "nul-in-name"])
def test_a_malformed_call_file_loads_nothing(lib, tmp_path, text, error):
    path = tmp_path / "calls"
    path.write_text(text + "\n")
    with pytest.raises(Exception) as excinfo:
        lib.load_call_file(path)
    assert str(excinfo.value) == f"{path}: {error}"
    assert lib.pending_calls() == 0


def test_recorded_results_come_first_then_the_programs(lib, sdk, tmp_path):
    path = tmp_path / "calls"
    path.write_text("\n".join([GOOD.replace('"seq": 0', '"seq": 1').replace('"v": 5', '"v": 6'), GOOD, ""]))
    lib.set_status("vyi_init", 9)
    assert lib.load_call_file(path) == 2
    assert [sdk.vyi_init() for _ in range(3)] == [5, 6, 9]  # in seq order, then the program
    assert [c.fn for c in lib.journal()] == ["vyi_init"] * 3


def test_a_replay_starts_no_timers_and_reset_drops_it(lib, sdk, sink, tmp_path):
    path = tmp_path / "calls"
    path.write_text(GOOD + "\n")
    lib.load_call_file(path)
    lib.push_event("tick", b"a", time_ms=1000)
    sdk.py_vyi_set_timer(100)
    assert sdk.py_vyi_user_timer(100, 0) == 0
    sdk.py_vyi_run()
    assert sink.events == [("tick", b"a")]
    lib.reset()
    assert lib.pending_calls() == 0
    assert sdk.vyi_init() == 0


# ---- the control API ---------------------------------------------------------

CONTROL = """
import ctypes, os, sys, vystandin, vy.csdk.c_sdk as c
rec = ctypes.CDLL(os.path.join(os.path.dirname(c.__file__), "libvy3-c.so"))
rec.vyr_start.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
rec.vyr_last_error.restype = rec.vyr_target.restype = ctypes.c_char_p
si = vystandin.StandIn(os.environ["VY_RECORD_TARGET"])
si.reset()
out = sys.argv[1]
print(rec.vyr_target().decode() == os.environ["VY_RECORD_TARGET"], rec.vyr_recording())
c.py_vyi_get_orders(b"before")  # into the files named by the environment
# Many switches: each file is a session of its own, and nothing piles up.
for i in range(300):
    assert rec.vyr_start(f"{out}/{i % 3}.events".encode(), f"{out}/{i % 3}.calls".encode()) == 0
    si.push_event("tick", str(i).encode())
    c.py_vyi_set_data_callback(lambda t, p: None)
    c.py_vyi_get_orders(str(i).encode())
    c.py_vyi_run()
print(rec.vyr_recording(), rec.vyr_stop(), rec.vyr_recording())
c.py_vyi_get_orders(b"after")  # recorded nowhere
print(rec.vyr_start(b"/nonexistent/dir/x.events", f"{out}/ok.calls".encode()), rec.vyr_last_error().decode())
print(rec.vyr_recording())
print(rec.vyr_start(None, f"{out}/only.calls".encode()), rec.vyr_recording())
c.vyi_init()
"""


def test_the_control_api_moves_the_recording_between_files(staged, tmp_path):
    r = run_recorded(staged, CONTROL, calls=tmp_path / "env.calls", args=[tmp_path])
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        "True 1", "1 0 0",
        "-1 events file /nonexistent/dir/x.events: No such file or directory", "0", "0 1"]
    assert r.stderr.count("\n") == 1 and "cannot open events file /nonexistent/dir/x.events" in r.stderr
    env_calls = [json.loads(line) for line in (tmp_path / "env.calls").read_text().splitlines()]
    assert [c["fn"] for c in env_calls] == ["vyi_get_orders_pb"]
    for k, last in ((0, 297), (1, 298), (2, 299)):
        calls = [json.loads(line) for line in (tmp_path / f"{k}.calls").read_text().splitlines()]
        assert [(c["seq"], c["fn"]) for c in sorted(calls, key=lambda c: c["seq"])] == [
            (0, "vyi_set_event_callback_pb"), (1, "vyi_get_orders_pb"), (2, "vyi_run")]
        assert calls[1]["args"][0]["b64"] == b64(str(last).encode())
        assert (tmp_path / f"{k}.events").read_text() == f"0 tick {last}\n"
    assert not (tmp_path / "ok.calls").exists() or (tmp_path / "ok.calls").read_text() == ""
    assert [json.loads(line)["fn"] for line in (tmp_path / "only.calls").read_text().splitlines()] == ["vyi_init"]
