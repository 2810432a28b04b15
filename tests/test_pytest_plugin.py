"""The vystandin pytest plugin, run by pytest's own pytester in subprocesses:
the standin fixture, replays of recorded sessions as strict tests with their
reports, and the record modes through the recording library over the
stand-in's second build (which plays the real library)."""
import base64
import json
import os
import sys

import pytest

from conftest import PKG, ROOT
from recordings import ALT, RECORDER, STANDIN_DIR, keep_as_seed

pytest_plugins = ["pytester"]

RECORD_PY = os.path.join(ROOT, "recorder", "record.py")


def b64(data):
    return base64.b64encode(data).decode()


def text(data):
    return {"k": "text", "null": False, "b64": b64(data)}


def req(data):
    return {"k": "req", "null": False, "len": len(data), "b64": b64(data)}


OUT = {"k": "out", "null": False}

# The recorded session every replay case starts from, as the recorder writes
# it (the set_token call's secret redacted).
CALLS = [
    {"seq": 0, "fn": "vyi_set_event_callback_pb", "args": [{"k": "callback", "null": False}]},
    {"seq": 1, "fn": "vyi_set_token", "args": [{"k": "text", "null": False, "redacted": True, "len": 6}],
     "ret": {"k": "int", "v": 0}},
    {"seq": 2, "fn": "vyi_get_orders_pb", "args": [req(b"q1"), OUT, OUT], "ret": {"k": "int", "v": 0},
     "res": {"set": True, "null": False, "len": 2, "b64": b64(b"r1")}},
    {"seq": 3, "fn": "vyi_subscribe", "args": [text(b"SHSE.600000"), text(b"tick"), {"k": "bool", "v": False}],
     "ret": {"k": "int", "v": 0}},
    {"seq": 5, "fn": "vyi_get_orders_pb", "args": [req(b"\x08\x01\xff"), OUT, OUT], "ret": {"k": "int", "v": 1017},
     "res": {"set": False}},
    {"seq": 4, "fn": "vyi_run", "args": [], "ret": {"k": "int", "v": 0}},
]
EVENTS = "0 tick first\n10 tick second\n"

# The strategy's side: what each case changes is a keyword of this template.
BODY = """
import pytest
import vy.csdk.c_sdk as c

@pytest.mark.vy_session({marker})
def test_session(standin):
    seen = []
    c.py_vyi_set_data_callback(lambda t, p: seen.append((t, p)))
    assert c.py_vyi_set_token({token}) == 0
    assert c.py_vyi_get_orders({q1}) == (0, b"r1")
    {subscribe}
    assert c.py_vyi_run() == 0
    assert seen == [("tick", b"first"), ("tick", b"second")]
    assert c.py_vyi_get_orders({q2}) == (1017, None)
    {extra}
"""
DEFAULT = {"marker": "'s'", "token": "'secret'", "q1": "b'q1'", "q2": "b'\\x08\\x01\\xff'",
           "subscribe": "assert c.py_vyi_subscribe('SHSE.600000', 'tick', False) == 0", "extra": ""}


@pytest.fixture
def env(monkeypatch):
    """The inner runs import the build under test and vystandin."""
    path = [PKG, STANDIN_DIR] + [p for p in [os.environ.get("PYTHONPATH")] if p]
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(path))
    for name in list(os.environ):
        if name.startswith("VY_RECORD_"):
            monkeypatch.delenv(name)


def write_session(directory, name="s", calls=CALLS, events=EVENTS):
    directory.mkdir(parents=True, exist_ok=True)
    (directory / f"{name}.calls").write_text("".join(json.dumps(c) + "\n" for c in calls))
    (directory / f"{name}.events").write_text(events)


def run(pytester, *args):
    return pytester.runpytest_subprocess("-p", "vystandin.pytest_plugin", "-p", "no:cacheprovider", *args)


def outcome(result):
    return {k: v for k, v in result.parseoutcomes().items() if k in ("passed", "failed", "errors", "error")}


# ---- strict replay -----------------------------------------------------------

# (case, changes to the test, outcome, lines the report must hold in order)
REPLAYS = [
    ("matches", {}, "passed", []),
    ("any-token-matches-the-redacted-one", {"token": "b'a much longer token than recorded'"}, "passed", []),
    ("extra-call", {"extra": "c.py_vyi_get_orders(b'q3')"}, "failed", [
        "*vy_session 's': the test's calls stray from the recording *sessions/s.calls (match_on=('fn', 'args'))",
        "extra call: vyi_get_orders_pb, its call 3 (call 7 of the test); the recording holds 2 calls of it",
        "  + vyi_get_orders_pb(req 'q3' (len 2), 'out', 'out')",
    ]),
    ("never-made", {"subscribe": "pass"}, "failed", [
        "never made: vyi_subscribe, 1 recorded call from its call 1 (seq 3, line 4)",
        "  - vyi_subscribe('SHSE.600000', 'tick', False)",
    ]),
    ("text-argument-differs", {"subscribe": "c.py_vyi_subscribe('SHSE.600001', 'tick', False)"}, "failed", [
        "arguments differ: vyi_subscribe, its call 1 (call 4 of the test; seq 3, line 4)",
        "  argument 0:",
        "  - 'SHSE.600000'",
        "  + 'SHSE.600001'",
    ]),
    ("request-differs-shown-in-hex", {"q2": "b'\\x08\\x02\\xff'"}, "failed", [
        "arguments differ: vyi_get_orders_pb, its call 2 (call 6 of the test; seq 5, line 5)",
        "  argument 0:",
        "  - req hex 0801ff (len 3)",
        "  + req hex 0802ff (len 3)",
    ]),
    ("match-on-fn-ignores-arguments", {"marker": "'s', match_on=('fn',)",
                                        "subscribe": "c.py_vyi_subscribe('X', 'bar', True)",
                                        "q2": "b'other'"}, "passed", []),
    ("match-on-fn-still-counts-calls", {"marker": "'s', match_on=('fn',)", "extra": "c.py_vyi_get_orders(b'q1')"},
     "failed", ["extra call: vyi_get_orders_pb, its call 3 *"]),
    ("allow-unplayed", {"marker": "'s', allow_unplayed=True", "subscribe": "pass"}, "passed", []),
    ("allow-unplayed-still-strict-on-arguments", {"marker": "'s', allow_unplayed=True", "q1": "b'q9'"}, "failed",
     ["arguments differ: vyi_get_orders_pb, its call 1 *", "  - req 'q1' (len 2)", "  + req 'q9' (len 2)"]),
]


@pytest.mark.parametrize("changes, expected, report", [r[1:] for r in REPLAYS], ids=[r[0] for r in REPLAYS])
def test_a_replay_fails_where_the_calls_stray_from_the_recording(pytester, env, changes, expected, report):
    write_session(pytester.path / "sessions")
    pytester.makepyfile(test_replay=BODY.format(**dict(DEFAULT, **changes)))
    result = run(pytester)
    assert outcome(result) == {expected: 1}, result.stdout.str()
    if report:
        result.stdout.fnmatch_lines(report, consecutive=False)


def test_a_failing_test_keeps_its_own_failure_and_adds_the_report(pytester, env):
    write_session(pytester.path / "sessions")
    pytester.makepyfile(test_replay=BODY.format(**dict(DEFAULT, extra="c.vyi_init(); assert False, 'own'")))
    result = run(pytester)
    assert outcome(result) == {"failed": 1}
    result.stdout.fnmatch_lines(["*AssertionError: own*", "*vy_session*", "extra call: vyi_init, its call 1 *"],
                                consecutive=False)


def test_the_sessions_folder_is_set_by_the_ini_option(pytester, env):
    write_session(pytester.path / "recorded" / "deep", name="t")
    pytester.makeini("[pytest]\nvy_sessions_dir = recorded\n")
    pytester.makepyfile(test_replay=BODY.format(**dict(DEFAULT, marker="'deep/t'")))
    assert outcome(run(pytester)) == {"passed": 1}


@pytest.mark.parametrize("damage, message", [
    ("cut", "*sessions/s.calls: line 3: not JSON (*"),
    ("bad-base64", "*sessions/s.calls: line 3: bad argument 0: bad base64"),
    ("wrong-kind", "*sessions/s.calls: line 3: bad argument 0: unknown kind \"blob\""),
    ("bad-escape", "*sessions/s.events: line 3: unknown escape \\q"),
])
def test_a_damaged_recording_fails_the_test_with_file_line_and_what(pytester, env, damage, message):
    calls = [dict(c) for c in CALLS]
    events = EVENTS
    if damage == "bad-base64":
        calls[2]["args"] = [dict(req(b"q1"), b64="q1=")] + calls[2]["args"][1:]
    elif damage == "wrong-kind":
        calls[2]["args"] = [{"k": "blob"}] + calls[2]["args"][1:]
    elif damage == "bad-escape":
        events = EVENTS + "20 tick \\q\n"
    write_session(pytester.path / "sessions", calls=calls, events=events)
    if damage == "cut":
        path = pytester.path / "sessions" / "s.calls"
        lines = path.read_text().splitlines(True)
        lines[2] = lines[2][:40] + "\n"
        path.write_text("".join(lines))
    pytester.makepyfile(test_replay=BODY.format(**DEFAULT))
    result = run(pytester)
    assert outcome(result) == {"failed": 1}
    result.stdout.fnmatch_lines(["*vy_session 's': cannot replay the recording: " + message])


# ---- the standin fixture -----------------------------------------------------

def test_the_standin_fixture_resets_and_restores_the_event_callable(pytester, env):
    pytester.makepyfile(test_plain="""
import vy.csdk.c_sdk as c

def test_first(standin):
    assert "f" not in vars(c) and standin.journal() == []
    standin.set_status("vyi_init", 5)
    c.py_vyi_set_data_callback(print)
    assert c.vyi_init() == 5

def test_second(standin):
    assert "f" not in vars(c) and standin.journal() == []
    assert c.vyi_init() == 0
    c.f = len

def test_third():
    assert "f" not in vars(c)  # as it was before test_second
    c.f = len

def test_fourth(standin):
    assert c.f is len
    c.py_vyi_set_data_callback(print)
    assert c.f is print

def test_fifth():
    assert c.f is len
""")
    result = run(pytester)
    assert outcome(result) == {"passed": 5}, result.stdout.str()


# ---- record modes ------------------------------------------------------------

def test_mode_none_fails_a_test_whose_recording_is_missing(pytester, env):
    pytester.makepyfile(test_replay=BODY.format(**DEFAULT))
    result = run(pytester)
    assert outcome(result) == {"failed": 1}
    result.stdout.fnmatch_lines(["*vy_session 's': no recording: *sessions/s.calls and *sessions/s.events do not "
                                 "exist, and record mode 'none' replays only; record it with --vy-record-mode=once*"])


@pytest.mark.parametrize("how", ["option", "ini"])
@pytest.mark.parametrize("mode", ["once", "all"])
def test_recording_without_the_recording_library_says_how_to_start(pytester, env, mode, how):
    pytester.makepyfile(test_replay=BODY.format(**DEFAULT))
    if how == "ini":
        pytester.makeini(f"[pytest]\nvy_record_mode = {mode}\n")
    result = run(pytester, *([f"--vy-record-mode={mode}"] if how == "option" else []))
    assert outcome(result) == {"failed": 1}
    result.stdout.fnmatch_lines([f"*vy_session 's': record mode '{mode}' needs the recording library in place of "
                                 "the library, in front of the real one; start the session under the recording "
                                 "library, e.g. python3 recorder/record.py --target /path/to/the/real/libvy3-c.so "
                                 f"-m pytest -p vystandin.pytest_plugin --vy-record-mode={mode} *"])
    assert not (pytester.path / "sessions").exists()


def test_an_unknown_record_mode_is_a_usage_error(pytester, env):
    pytester.makeini("[pytest]\nvy_record_mode = sometimes\n")
    pytester.makepyfile(test_replay=BODY.format(**DEFAULT))
    result = run(pytester)
    assert result.ret == pytest.ExitCode.USAGE_ERROR
    result.stderr.fnmatch_lines(["*vy_record_mode = 'sometimes': expected one of none, once, all*"])


# Plays the live library while recording (the stand-in's second build is the
# target); in a replay the recording answers and this programs nothing.
LIVE = """
import pytest, vystandin
import vy.csdk.c_sdk as c

@pytest.fixture
def market(vy_session, standin):
    if vy_session.recording:
        standin.push_event("tick", b"live " + vy_session.name.encode())
        standin.set_response("vyi_get_orders_pb", b"answer for " + vy_session.name.encode())
        standin.set_status("vyi_subscribe", 3)

@pytest.mark.vy_session("{name}")
def test_{name}(market, vy_session):
    seen = []
    c.py_vyi_set_data_callback(lambda t, p: seen.append(p))
    assert c.py_vyi_set_token("tok-{name}") == 0
    assert c.py_vyi_get_orders(b"{name}") == (0, b"answer for {name}")
    assert c.py_vyi_subscribe("SHSE.600000", "tick", False) == 3
    assert c.py_vyi_run() == 0
    assert seen == [b"live {name}"]
"""


def record(pytester, mode):
    for lib in (RECORDER, ALT):
        assert os.path.exists(lib), f"not built: {lib}"
    return pytester.run(sys.executable, RECORD_PY, "--pkg", PKG, "--target", ALT, "-m", "pytest", "-p",
                        "vystandin.pytest_plugin", "-p", "no:cacheprovider", f"--vy-record-mode={mode}", "-v")


@pytest.mark.parametrize("mode", ["once", "all"])
def test_a_session_recorded_through_the_recording_library_replays(pytester, env, mode):
    pytester.makepyfile(test_fresh=LIVE.format(name="fresh"), test_kept=LIVE.format(name="kept"))
    sessions = pytester.path / "sessions"
    # kept has a recording already: once replays it (through the recorder, on
    # the stand-in behind it), all records it again.
    assert outcome(record(pytester, "all")) == {"passed": 2}
    (sessions / "kept.events").write_text("0 tick live kept\n")
    before = (sessions / "kept.calls").read_text()
    (sessions / "kept.calls").write_text(before + "\n")  # a mark that all overwrites
    (sessions / "fresh.calls").unlink()
    (sessions / "fresh.events").unlink()

    result = record(pytester, mode)
    assert outcome(result) == {"passed": 2}, result.stdout.str() + result.stderr.str()
    assert (sessions / "kept.calls").read_text() == (before if mode == "all" else before + "\n")
    calls = [json.loads(line) for line in (sessions / "fresh.calls").read_text().splitlines()]
    assert [c["fn"] for c in sorted(calls, key=lambda c: c["seq"])] == [
        "vyi_set_event_callback_pb", "vyi_set_token", "vyi_get_orders_pb", "vyi_subscribe", "vyi_run"]
    assert calls[1]["args"] == [{"k": "text", "null": False, "redacted": True, "len": 9}]  # tok-fresh
    assert (sessions / "fresh.events").read_text().split(" ", 1)[1] == "tick live fresh\n"
    keep_as_seed(sessions / "fresh.events", sessions / "fresh.calls")

    # Replayed on the stand-in, without the recording library: the recording
    # answers (the market programs nothing).
    assert outcome(run(pytester)) == {"passed": 2}
    # And strictly: a different request fails the replay.
    (pytester.path / "test_fresh.py").write_text(LIVE.format(name="fresh").replace('get_orders(b"fresh")',
                                                                                  'get_orders(b"fresh2")'))
    result = run(pytester)
    assert outcome(result) == {"passed": 1, "failed": 1}
    result.stdout.fnmatch_lines(["  - req 'fresh' (len 5)", "  + req 'fresh2' (len 6)"])


@pytest.mark.parametrize("args", [[], ["-p", "vystandin.pytest_plugin"], ["-p", "vystandin"]],
                         ids=["entry-point", "by-module-too", "by-entry-point-name"])
def test_the_installed_entry_point_and_loading_by_name_go_together(pytester, env, monkeypatch, args):
    # An installed distribution's entry point, as the stand-in's wheel has it.
    info = pytester.path / "site" / "vystandin_dist-1.0.dist-info"
    info.mkdir(parents=True)
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: vystandin-dist\nVersion: 1.0\n")
    (info / "entry_points.txt").write_text("[pytest11]\nvystandin = vystandin.pytest_plugin\n")
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join([str(pytester.path / "site"), os.environ["PYTHONPATH"]]))
    pytester.makepyfile(test_plain="def test_it(standin):\n    assert standin.journal() == []\n")
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", *args)
    assert outcome(result) == {"passed": 1}, result.stdout.str() + result.stderr.str()
