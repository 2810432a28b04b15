"""python -m vystandin inspect and diff on recorded sessions, and the Python
readers of recordings on damaged and hostile files."""
import base64
import json
import os
import subprocess
import sys

import pytest

from conftest import PKG
from recordings import STANDIN_DIR, keep_as_seed, run_recorded, staged  # noqa: F401
from vystandin import Redacted
from vystandin import session as rec

# A session with known figures: events of three types, queries that fail and
# succeed, and a redacted secret.
SESSION = """
import os, sys, vystandin, vy.csdk.c_sdk as c
si = vystandin.StandIn(os.environ["VY_RECORD_TARGET"])
si.reset()
for i in range(5):
    si.push_event("tick", b"t" * 10)
si.push_event("bar", b"b" * 100)
si.push_event("bar", b"")
si.push_event("execrpt", b"\\x00\\x01\\x02")
si.set_status("vyi_get_cash_pb", 1017)
c.py_vyi_set_data_callback(lambda t, p: None)
c.py_vyi_set_token("secret-token")
for i in range(3):
    c.py_vyi_get_orders(sys.argv[1].encode())
c.py_vyi_get_cash(b"c")
c.py_vyi_get_cash(b"c")
c.vyi_now()
c.py_vyi_run()
"""


def vystandin_cli(*args, env=None):
    full = dict(os.environ, PYTHONPATH=os.pathsep.join([PKG, STANDIN_DIR] + [p for p in [os.environ.get(
        "PYTHONPATH")] if p]))
    full.update(env or {})
    return subprocess.run([sys.executable, "-m", "vystandin"] + [str(a) for a in args], capture_output=True,
                          text=True, env=full, timeout=60, cwd=os.path.dirname(PKG))


@pytest.fixture(scope="module")
def sessions(staged, tmp_path_factory):
    """Two recordings of the session that differ in one request."""
    d = tmp_path_factory.mktemp("inspect")
    for name, request in (("a", "orders"), ("b", "orderz")):
        r = run_recorded(staged, SESSION, events=d / f"{name}.events", calls=d / f"{name}.calls", args=[request])
        assert (r.returncode, r.stderr) == (0, ""), r.stderr
    keep_as_seed(d / "a.events", d / "a.calls")
    return d


def rows(text, header):
    """The table under a header line, as {first column: other columns}."""
    lines = text.splitlines()
    start = next(i for i, line in enumerate(lines) if line.split()[:1] == [header])
    out = {}
    for line in lines[start + 1:]:
        if not line.startswith("  ") or line.startswith("   "):
            break
        cols = line.split(None, 4)
        out[cols[0]] = cols[1:]
    return out


def test_inspect_counts_events_and_calls(sessions):
    r = vystandin_cli("inspect", sessions / "a")
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[0] == f"session {sessions / 'a'}"
    assert "events: 8 from 0 ms to " in r.stdout
    events = rows(r.stdout, "type")
    assert {t: cols[:2] for t, cols in events.items()} == {"tick": ["5", "50"], "bar": ["2", "100"],
                                                           "execrpt": ["1", "3"]}
    calls = rows(r.stdout, "function")
    # count, failures, redacted, statuses
    assert calls["vyi_get_orders_pb"] == ["3", "0", "0", "0 x3"]
    assert calls["vyi_get_cash_pb"] == ["2", "2", "0", "1017 x2"]
    assert calls["vyi_set_token"] == ["1", "0", "1", "0 x1"]
    assert calls["vyi_now"][:3] == ["1", "0", "0"] and calls["vyi_now"][3:] == ["-"]  # a time, not a status
    assert calls["vyi_set_event_callback_pb"] == ["1", "0", "0", "-"]
    assert "calls: 9 to 6 functions" in r.stdout


def test_inspect_rates_over_the_time_span(tmp_path):
    (tmp_path / "s.events").write_text("# a comment\n0 tick a\n500 tick bb\n\n2000 bar \\x00\\n\n2000 tick\n")
    r = vystandin_cli("inspect", tmp_path / "s.events")
    assert r.returncode == 0, r.stderr
    assert "events: 4 from 0 ms to 2000 ms (2.000 s)" in r.stdout
    assert rows(r.stdout, "type") == {"tick": ["3", "3", "1.50"], "bar": ["1", "2", "0.50"]}
    assert "calls:" not in r.stdout  # no call file


def test_diff_names_the_one_argument_that_differs(sessions):
    r = vystandin_cli("diff", sessions / "a", sessions / "b.calls")
    assert r.returncode == 1, r.stderr
    a, b = sessions / "a.calls", sessions / "b.calls"
    lines = r.stdout.splitlines()
    assert lines[:2] == [f"- {a}", f"+ {b}"]
    assert lines[2].startswith(f"arguments differ: vyi_get_orders_pb, its call 1 (call 3 of {b}; seq 2, line ")
    assert lines[3:6] == ["  argument 0:", "  - req 'orders' (len 6)", "  + req 'orderz' (len 6)"]
    assert sum(line.startswith("arguments differ") for line in lines) == 3
    assert len(lines) == 2 + 3 * 4


def test_diff_of_matching_recordings_and_by_function_only(sessions):
    same = vystandin_cli("diff", sessions / "a", sessions / "a")
    assert (same.returncode, same.stdout.split(" match")[0]) == (0, f"the calls of {sessions / 'a.calls'} and "
                                                                    f"{sessions / 'a.calls'}")
    assert vystandin_cli("diff", "--match-on", "fn", sessions / "a", sessions / "b").returncode == 0


def test_diff_limits_what_it_shows(sessions):
    r = vystandin_cli("diff", "--limit", "1", sessions / "a", sessions / "b")
    assert r.stdout.splitlines()[-1] == "... and 2 more differences"


def test_a_missing_recording_is_named(tmp_path):
    r = vystandin_cli("inspect", tmp_path / "nothing")
    assert r.returncode == 2
    assert r.stderr == (f"python -m vystandin inspect: {tmp_path / 'nothing'}: no recording: "
                        f"{tmp_path / 'nothing.events'} or {tmp_path / 'nothing.calls'} not found\n")


def test_plot_draws_the_events(sessions, tmp_path):
    pytest.importorskip("matplotlib")
    png = tmp_path / "events.png"
    r = vystandin_cli("inspect", sessions / "a", "--plot", png)
    assert r.returncode == 0, r.stderr
    assert r.stdout.endswith(f"plot written to {png}\n")
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_plot_without_matplotlib_says_what_to_install(sessions, tmp_path):
    code = ("import sys; sys.modules['matplotlib'] = None; from vystandin.__main__ import main; "
            f"sys.exit(main(['inspect', {str(sessions / 'a')!r}, '--plot', {str(tmp_path / 'x.png')!r}]))")
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                       env=dict(os.environ, PYTHONPATH=os.pathsep.join([PKG, STANDIN_DIR])))
    assert r.returncode == 2
    assert r.stderr.endswith("--plot needs matplotlib, which is not installed for this interpreter (on Debian: "
                             "apt-get install python3-matplotlib)\n")
    assert not (tmp_path / "x.png").exists()


# ---- the readers on damaged and hostile recordings ---------------------------

def b64(data):
    return base64.b64encode(data).decode()


GOOD = {"seq": 0, "fn": "vyi_get_orders_pb", "args": [{"k": "req", "null": False, "len": 2, "b64": b64(b"ab")},
                                                     {"k": "out", "null": False}, {"k": "out", "null": False}],
        "ret": {"k": "int", "v": 0}, "res": {"set": True, "null": False, "len": 1, "b64": b64(b"r")}}


def line(**changes):
    return json.dumps(dict(GOOD, **changes))


def arg(**changes):
    return line(args=[dict(GOOD["args"][0], **changes)] + GOOD["args"][1:])


CALL_DAMAGE = [
    ("cut-line", line()[:50], "line 2: not JSON (Unterminated string starting at: line 1 column 49 (char 48))"),
    ("cut-after-a-value", line()[:-1], "line 2: not JSON (Expecting ',' delimiter: line 1 column 250 (char 249))"),
    ("bad-json-escape", line().replace('"vyi_get_orders_pb"', '"vyi_\\q"'),
     "line 2: not JSON (Invalid \\escape: line 1 column 23 (char 22))"),
    ("bad-base64", arg(b64="YW=J"), "line 2: bad argument 0: bad base64"),
    ("base64-not-ascii", arg(b64="YWJ\u00e9"), "line 2: bad argument 0: bad base64"),
    ("wrong-arg-kind", arg(k="blob"), 'line 2: bad argument 0: unknown kind "blob"'),
    ("wrong-value-kind", line(args=[{"k": "int", "v": True}]), 'line 2: bad argument 0: bad "v"'),
    ("wrong-ret-kind", line(ret={"k": "float", "v": 1}), 'line 2: unknown "ret" kind'),
    ("huge-request-length", arg(len=2 ** 31 - 1), 'line 2: bad argument 0: "len" does not match the bytes'),
    ("length-past-int", arg(len=2 ** 40), 'line 2: bad argument 0: bad "len"'),
    ("huge-redacted-length", line(args=[{"k": "text", "null": False, "redacted": True, "len": 10 ** 12}]),
     'line 2: bad argument 0: bad redacted "len"'),
    ("huge-response-length", line(res={"set": True, "null": False, "len": 10 ** 9, "b64": ""}),
     'line 2: bad "res" bytes'),
    ("response-length-past-int", line(res={"set": True, "null": False, "len": 2 ** 31, "b64": ""}),
     'line 2: bad "res"'),
    ("short-response", line(res={"set": True, "null": False, "len": 5, "b64": b64(b"r")}),
     'line 2: bad "res" bytes'),
    ("nan-constant", line(ret={"k": "double", "v": float("nan")}), "line 2: not JSON (NaN is not JSON)"),
    ("deep", "[" * 100000 + "]" * 100000, "line 2: nested too deeply"),
    ("not-an-object", "[1, 2]", "line 2: not a JSON object"),
    ("not-utf8", line()[:10] + "\udcff", "line 2: not UTF-8 (byte 10)"),
    ("unknown-fn", line(fn="os.system"), 'line 2: unknown SDK function "os.system"'),
    ("no-seq", line(seq="1"), 'line 2: no "seq"'),
]


@pytest.mark.parametrize("text, message", [c[1:] for c in CALL_DAMAGE], ids=[c[0] for c in CALL_DAMAGE])
def test_a_damaged_call_file_is_rejected_with_its_line_by_both_readers(tmp_path, lib, text, message):
    path = tmp_path / "s.calls"
    path.write_bytes((line() + "\n" + text + "\n").encode("utf-8", "surrogateescape"))
    with pytest.raises(rec.RecordingError) as e:
        rec.read_calls(str(path))
    assert str(e.value) == f"{path}: {message}"
    assert e.value.line == 2
    # The stand-in's reader agrees, in its JSON library's words for syntax.
    with pytest.raises(Exception) as e:
        lib.load_call_file(path)
    if message.startswith(("line 2: not JSON", "line 2: not UTF-8")):
        assert str(e.value).startswith(f"{path}: line 2: not JSON (column ")
    else:
        assert str(e.value) == f"{path}: {message}"
    assert lib.pending_calls() == 0


EVENT_DAMAGE = [
    ("cut-escape", "5 tick ab\\x4", "line 2: \\x needs two hex digits"),
    ("unknown-escape", "5 tick a\\qb", "line 2: unknown escape \\q"),
    ("trailing-backslash", "5 tick a\\", "line 2: backslash at end of line"),
    ("negative-time", "-5 tick a", "line 2: expected a non-negative time in ms"),
    ("huge-time", "9" * 30 + " tick a", "line 2: time out of range"),
    ("no-type", "5", "line 2: missing message type"),
    ("glued-type", "5tick a", "line 2: expected a space after the time"),
    ("control-in-type", "5 ti\x01ck a", "line 2: control character in the message type"),
]


@pytest.mark.parametrize("text, message", [c[1:] for c in EVENT_DAMAGE], ids=[c[0] for c in EVENT_DAMAGE])
def test_a_damaged_event_file_is_rejected_with_its_line_by_both_readers(tmp_path, lib, text, message):
    path = tmp_path / "s.events"
    path.write_text("0 tick fine\n" + text + "\n")
    with pytest.raises(rec.RecordingError) as e:
        rec.read_events(str(path))
    assert str(e.value) == f"{path}: {message}"
    with pytest.raises(Exception) as e:
        lib.load_event_file(path)
    assert str(e.value) == f"{path}: {message}"


def test_the_readers_decode_what_the_recorder_writes(tmp_path):
    calls = tmp_path / "s.calls"
    calls.write_text("\n".join([
        line(seq=2),
        json.dumps({"seq": 1, "fn": "vyi_set_bus_secure", "args": [
            {"k": "int", "v": 1}, {"k": "text", "null": True, "b64": ""},
            {"k": "text", "null": False, "b64": b64(b"cert")},
            {"k": "text", "null": False, "redacted": True, "len": 7}, {"k": "bool", "v": False}]}),
        json.dumps({"seq": 0, "fn": "vyi_now_plus", "args": [], "ret": {"k": "double", "v": "-inf"}}),
        "", "  "]))
    got = rec.read_calls(str(calls))
    assert [(c.seq, c.fn, c.line) for c in got] == [(0, "vyi_now_plus", 3), (1, "vyi_set_bus_secure", 2),
                                                    (2, "vyi_get_orders_pb", 1)]
    assert got[0].ret == float("-inf")
    assert got[1].args == [1, None, b"cert", Redacted(7, False), False] and got[1].ret is rec.NO_RESULT
    assert got[2].args == [(b"ab", 2), "out", "out"] and got[2].ret == 0
    events = tmp_path / "s.events"
    events.write_bytes(b"0 tick \\x00\\\\n\\t\r\n7   bar\n# 9 x y\n12 \xe8\xa1\x8c spaces  kept \n")
    assert [tuple(e[:3]) for e in rec.read_events(str(events))] == [
        (0, "tick", b"\x00\\n\t"), (7, "bar", b""), (12, "\u884c", b"spaces  kept ")]
