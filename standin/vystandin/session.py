"""Recorded sessions: reading event and call files, comparing a session's
calls with the calls made (the strict replay of the pytest plugin and
`python -m vystandin diff`), and what a recording holds (`inspect`).

Recordings travel between people, so every reader checks what it reads: a
damaged or hostile file raises RecordingError naming the file, the line and
what is wrong, and no length in it is trusted before its bytes are there.
"""

import base64
import binascii
import json
import math
import os
from collections import Counter, OrderedDict
from typing import Any, Callable, Dict, Iterable, List, NamedTuple, Optional, Sequence, Tuple

from . import Redacted

__all__ = ["Event", "RecordedCall", "RecordingError", "NO_RESULT", "read_events", "read_calls", "session_paths",
           "compare", "describe_differences", "summary"]

# A redacted text replays as at most this many '*' (as in the stand-in).
MAX_REDACTED_LEN = 1 << 20
# The recorder nests three levels deep.
MAX_DEPTH = 8
INT_MIN, INT_MAX = -(1 << 31), (1 << 31) - 1
LLONG_MIN, LLONG_MAX = -(1 << 63), (1 << 63) - 1


class RecordingError(ValueError):
    """A recording that cannot be read: str() is "FILE: line N: what"."""

    def __init__(self, path: str, line: Optional[int], what: str):
        self.path, self.line, self.what = path, line, what
        where = f"{path}: line {line}" if line is not None else str(path)
        super().__init__(f"{where}: {what}")


class Event(NamedTuple):
    time_ms: int
    type: str
    payload: bytes
    line: int


class _NoResult:
    def __repr__(self) -> str:
        return "NO_RESULT"


# The result of a void function (a call line without "ret").
NO_RESULT = _NoResult()


class RecordedCall(NamedTuple):
    """One line of a call file. args are decoded as StandIn.journal() decodes
    them; ret is an int, float, bytes, None (a NULL text), Redacted, or
    NO_RESULT."""

    seq: int
    fn: str
    args: List[Any]
    ret: Any
    line: int


def session_paths(session: str) -> Tuple[str, str]:
    """SESSION, SESSION.events or SESSION.calls -> (events path, calls path)."""
    for ext in (".events", ".calls"):
        if session.endswith(ext):
            session = session[: -len(ext)]
    return session + ".events", session + ".calls"


# ---- event files -------------------------------------------------------------

_ESCAPES = {"\\": b"\\", "n": b"\n", "r": b"\r", "t": b"\t", "0": b"\0"}
_HEX = "0123456789abcdefABCDEF"


def _unescape(text: str) -> Tuple[Optional[bytes], str]:
    out = bytearray()
    i = 0
    while i < len(text):
        c = text[i]
        if c != "\\":
            j = text.find("\\", i)
            j = len(text) if j < 0 else j
            out += text[i:j].encode("utf-8", "surrogateescape")
            i = j
            continue
        if i + 1 == len(text):
            return None, "backslash at end of line"
        e = text[i + 1]
        if e in _ESCAPES:
            out += _ESCAPES[e]
            i += 2
        elif e == "x":
            digits = text[i + 2: i + 4]
            if len(digits) != 2 or any(d not in _HEX for d in digits):
                return None, "\\x needs two hex digits"
            out.append(int(digits, 16))
            i += 4
        else:
            return None, "unknown escape \\" + e
    return bytes(out), ""


def _event_line(line: str) -> Tuple[Optional[Tuple[int, str, bytes]], str]:
    i = 0
    while i < len(line) and "0" <= line[i] <= "9":
        i += 1
    if i == 0:
        return None, "expected a non-negative time in ms"
    time_ms = int(line[:i])
    if time_ms > LLONG_MAX:
        return None, "time out of range"
    if i == len(line):
        return None, "missing message type"
    if line[i] != " ":
        return None, "expected a space after the time"
    while i < len(line) and line[i] == " ":
        i += 1
    start = i
    while i < len(line) and line[i] != " ":
        if ord(line[i]) < 0x20 or line[i] == "\x7f":
            return None, "control character in the message type"
        i += 1
    if i == start:
        return None, "missing message type"
    payload = b""
    if i < len(line):
        payload, why = _unescape(line[i + 1:])
        if payload is None:
            return None, why
    return (time_ms, line[start:i], payload), ""


def read_events(path: str) -> List[Event]:
    """The events of an event file (the stand-in's format), in file order."""
    with open(path, "rb") as f:
        data = f.read()
    events = []
    for number, raw in enumerate(data.split(b"\n"), 1):
        text = raw.decode("utf-8", "surrogateescape")
        if text.endswith("\r"):
            text = text[:-1]
        if not text.strip(" \t") or text.startswith("#"):
            continue
        parsed, why = _event_line(text)
        if parsed is None:
            raise RecordingError(path, number, why)
        events.append(Event(parsed[0], parsed[1], parsed[2], number))
    return events


# ---- call files --------------------------------------------------------------

class _Bad(Exception):
    pass


def _get(obj: Dict[str, Any], key: str, types: Any, what: str) -> Any:
    value = obj.get(key)
    # bool is an int to Python, never to JSON.
    if not isinstance(value, types) or (isinstance(value, bool) and bool not in _as_tuple(types)):
        raise _Bad(what)
    return value


def _as_tuple(types: Any) -> tuple:
    return types if isinstance(types, tuple) else (types,)


def _integer(obj: Dict[str, Any], key: str, lo: int, hi: int, what: str) -> int:
    value = _get(obj, key, int, what)
    if not lo <= value <= hi:
        raise _Bad(what)
    return value


def _b64(text: Any, what: str) -> bytes:
    if not isinstance(text, str):
        raise _Bad(what)
    try:
        return base64.b64decode(text.encode("ascii"), validate=True)
    except (binascii.Error, UnicodeEncodeError, ValueError):
        raise _Bad(what) from None


def _real(obj: Dict[str, Any], key: str, what: str) -> float:
    value = obj.get(key)
    if value in ("nan", "inf", "-inf"):
        return float(value)
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise _Bad(what)
    return float(value)


def _text(obj: Dict[str, Any], what: str) -> Any:
    null = _get(obj, "null", bool, f"{what}: no \"null\"")
    if "redacted" in obj:
        if obj["redacted"] is not True:
            raise _Bad(f"{what}: bad \"redacted\"")
        return Redacted(_integer(obj, "len", 0, MAX_REDACTED_LEN, f"{what}: bad redacted \"len\""), null)
    if null:
        return None
    data = _b64(obj.get("b64"), f"{what}: bad base64")
    if b"\0" in data:
        raise _Bad(f"{what}: a NUL inside a text")
    return data


def _arg(a: Any, i: int) -> Any:
    what = f"bad argument {i}"
    if not isinstance(a, dict):
        raise _Bad(f"{what}: not an object")
    kind = a.get("k")
    if kind == "text":
        return _text(a, what)
    if kind == "int":
        return _integer(a, "v", LLONG_MIN, LLONG_MAX, f"{what}: bad \"v\"")
    if kind == "bool":
        return _get(a, "v", bool, f"{what}: bad \"v\"")
    if kind == "double":
        return _real(a, "v", f"{what}: bad \"v\"")
    if kind in ("out", "callback"):
        return None if _get(a, "null", bool, f"{what}: no \"null\"") else kind
    if kind == "req":
        null = _get(a, "null", bool, f"{what}: no \"null\"")
        length = _integer(a, "len", INT_MIN, INT_MAX, f"{what}: bad \"len\"")
        data = _b64(a.get("b64"), f"{what}: bad base64")
        if len(data) != (0 if null else max(length, 0)):
            raise _Bad(f"{what}: \"len\" does not match the bytes")
        return (None if null else data, length)
    raise _Bad(f"{what}: unknown kind {json.dumps(kind)}")


def _ret(r: Any) -> Any:
    if not isinstance(r, dict):
        raise _Bad("unknown \"ret\" kind")
    kind = r.get("k")
    if kind == "int":
        return _integer(r, "v", LLONG_MIN, LLONG_MAX, "bad \"ret\" value")
    if kind == "double":
        return _real(r, "v", "bad \"ret\" value")
    if kind == "text":
        return _text(r, "bad \"ret\" text")
    raise _Bad("unknown \"ret\" kind")


def _response(r: Any, key: str) -> None:
    if not isinstance(r, dict) or not isinstance(r.get("set"), bool):
        raise _Bad(f"bad \"{key}\"")
    if not r["set"]:
        return
    if key == "out":
        _text(r, "bad \"out\"")
        return
    null = _get(r, "null", bool, "bad \"res\"")
    length = _integer(r, "len", INT_MIN, INT_MAX, "bad \"res\"")
    data = _b64(r.get("b64"), "bad \"res\" bytes")
    if len(data) != (0 if null or length < 0 else length):
        raise _Bad("bad \"res\" bytes")


def _too_deep(text: str, limit: int) -> bool:
    """Whether brackets outside strings nest deeper than limit."""
    depth, in_string, escaped = 0, False, False
    for ch in text:
        if in_string:
            if escaped:
                escaped = False
            elif ch == "\\":
                escaped = True
            elif ch == '"':
                in_string = False
        elif ch == '"':
            in_string = True
        elif ch in "[{":
            depth += 1
            if depth > limit:
                return True
        elif ch in "]}":
            depth -= 1
    return False


def _reject_constant(name: str) -> None:
    raise ValueError(f"{name} is not JSON")


def _call_line(text: str) -> RecordedCall:
    # Nesting is limited before the parser recurses into it.
    if _too_deep(text, MAX_DEPTH):
        raise _Bad("nested too deeply")
    try:
        j = json.loads(text, parse_constant=_reject_constant)
    except ValueError as e:
        raise _Bad(f"not JSON ({e})") from None
    if not isinstance(j, dict):
        raise _Bad("not a JSON object")
    fn = j.get("fn")
    if not isinstance(fn, str):
        raise _Bad("no \"fn\"")
    if not (fn.startswith("vyi_") or fn == "stk_get_ration") or not fn.isidentifier() or not fn.isascii():
        raise _Bad(f"unknown SDK function {json.dumps(fn)}")
    seq = _integer(j, "seq", LLONG_MIN, LLONG_MAX, "no \"seq\"")
    args = j.get("args", [])
    if not isinstance(args, list):
        raise _Bad("\"args\" is not a list")
    decoded = [_arg(a, i) for i, a in enumerate(args)]
    ret = _ret(j["ret"]) if "ret" in j else NO_RESULT
    for key in ("res", "out"):
        if key in j:
            _response(j[key], key)
    return RecordedCall(seq, fn, decoded, ret, 0)


def read_calls(path: str) -> List[RecordedCall]:
    """The calls of a call file, in the order they began (seq)."""
    with open(path, "rb") as f:
        data = f.read()
    calls = []
    for number, raw in enumerate(data.split(b"\n"), 1):
        if not raw.strip(b" \t\r"):
            continue
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError as e:
            raise RecordingError(path, number, f"not UTF-8 (byte {e.start})") from None
        try:
            call = _call_line(text)
        except _Bad as e:
            raise RecordingError(path, number, str(e)) from None
        calls.append(call._replace(line=number))
    calls.sort(key=lambda c: c.seq)  # stable: lines of equal seq keep their order
    return calls


# ---- comparing calls ---------------------------------------------------------

MATCH_ON = ("fn", "args")


class Difference(NamedTuple):
    """kind: "extra" (a call past the recorded ones), "unplayed" (recorded
    calls never made), "args" (arguments differ)."""

    kind: str
    fn: str
    index: int  # the call of fn (0-based)
    position: Optional[int]  # where it was made among all calls, or None
    recorded: Optional[RecordedCall]
    made_args: Optional[List[Any]]
    count: int  # how many calls of fn the recording holds (extra), or left unmade (unplayed)


def _same(recorded: Any, made: Any) -> bool:
    if isinstance(recorded, Redacted):
        return True  # a secret kept out of the recording matches any value
    if isinstance(recorded, float) and isinstance(made, float) and math.isnan(recorded) and math.isnan(made):
        return True
    if type(recorded) is not type(made) and not (isinstance(recorded, (int, float)) and isinstance(made, (int, float))
                                                 and not isinstance(made, bool) and not isinstance(recorded, bool)):
        return False
    if isinstance(recorded, tuple):
        return len(recorded) == len(made) and all(_same(r, m) for r, m in zip(recorded, made))
    return recorded == made


def args_match(recorded: Sequence[Any], made: Sequence[Any]) -> bool:
    return len(recorded) == len(made) and all(_same(r, m) for r, m in zip(recorded, made))


def compare(recorded: Iterable[RecordedCall], made: Iterable[Tuple[str, List[Any]]],
            match_on: Sequence[str] = MATCH_ON, allow_unplayed: bool = False) -> List[Difference]:
    """The differences between a recording and the calls made, in the order
    the stand-in replays a recording: per function, in the order of its calls.
    made holds (fn, args) pairs in call order (StandIn.journal() entries)."""
    unknown = [m for m in match_on if m not in MATCH_ON]
    if unknown:
        raise ValueError(f"match_on: unknown part(s) {unknown}; known: {list(MATCH_ON)}")
    queues: "OrderedDict[str, List[RecordedCall]]" = OrderedDict()
    for call in recorded:
        queues.setdefault(call.fn, []).append(call)
    taken: Counter = Counter()
    out = []
    for position, (fn, args) in enumerate(made):
        k = taken[fn]
        taken[fn] += 1
        queue = queues.get(fn, [])
        if k >= len(queue):
            out.append(Difference("extra", fn, k, position, None, list(args), len(queue)))
        elif "args" in match_on and not args_match(queue[k].args, args):
            out.append(Difference("args", fn, k, position, queue[k], list(args), len(queue)))
    if not allow_unplayed:
        for fn, queue in queues.items():
            if taken[fn] < len(queue):
                k = taken[fn]
                out.append(Difference("unplayed", fn, k, None, queue[k], None, len(queue) - k))
    return out


def show_value(v: Any, limit: int = 120) -> str:
    """An argument as a reader takes it in: printable text as text, other bytes
    in hex, long ones cut with their full length said."""
    if isinstance(v, Redacted):
        return "<redacted NULL>" if v.null else f"<redacted, {v.length} bytes>"
    if v is None:
        return "NULL"
    if isinstance(v, tuple) and len(v) == 2:
        data, length = v
        shown = "NULL" if data is None else show_value(data, limit)
        return f"req {shown} (len {length})"
    if isinstance(v, (bytes, bytearray)):
        data = bytes(v)
        if all(0x20 <= b < 0x7F for b in data):
            shown, cut = repr(data[:limit].decode("ascii")), len(data) > limit
        else:
            shown, cut = "hex " + data[: limit // 2].hex(), len(data) > limit // 2
        return shown + (f"... ({len(data)} bytes)" if cut else "")
    if isinstance(v, float) and math.isnan(v):
        return "nan"
    return repr(v)


def _where(d: Difference, made_label: str) -> str:
    at = f"call {d.position + 1} of {made_label}" if d.position is not None else ""
    seq = f"seq {d.recorded.seq}, line {d.recorded.line}" if d.recorded is not None else ""
    return "; ".join(x for x in (at, seq) if x)


def describe_differences(diffs: Sequence[Difference], recorded_label: str = "the recording",
                         made_label: str = "the test", limit: Optional[int] = None) -> str:
    """The report of compare(): one paragraph per difference, arguments as a
    diff ("-" recorded, "+" made)."""
    lines = []
    shown = diffs if limit is None else diffs[:limit]
    for d in shown:
        nth = d.index + 1
        if d.kind == "extra":
            lines.append(f"extra call: {d.fn}, its call {nth} ({_where(d, made_label)}); "
                         f"{recorded_label} holds {d.count} call{'s' * (d.count != 1)} of it")
            lines.append("  + " + _call_text(d.fn, d.made_args or []))
        elif d.kind == "unplayed":
            lines.append(f"never made: {d.fn}, {d.count} recorded call{'s' * (d.count != 1)} from its call {nth} "
                         f"({_where(d, made_label)})")
            lines.append("  - " + _call_text(d.fn, d.recorded.args))
        else:
            lines.append(f"arguments differ: {d.fn}, its call {nth} ({_where(d, made_label)})")
            rec, made = d.recorded.args, d.made_args or []
            for i in range(max(len(rec), len(made))):
                r = rec[i] if i < len(rec) else _MISSING
                m = made[i] if i < len(made) else _MISSING
                if r is _MISSING or m is _MISSING or not _same(r, m):
                    lines.append(f"  argument {i}:")
                    lines.append("  - " + ("(none)" if r is _MISSING else show_value(r)))
                    lines.append("  + " + ("(none)" if m is _MISSING else show_value(m)))
    if limit is not None and len(diffs) > limit:
        lines.append(f"... and {len(diffs) - limit} more difference{'s' * (len(diffs) - limit != 1)}")
    return "\n".join(lines)


_MISSING = object()


def _call_text(fn: str, args: Sequence[Any]) -> str:
    return f"{fn}({', '.join(show_value(a, 60) for a in args)})"


# ---- what a recording holds --------------------------------------------------

def summary(events: Optional[List[Event]], calls: Optional[List[RecordedCall]],
            result_type: Optional[Callable[[str], Optional[str]]] = None, success: int = 0) -> str:
    """The inspector's report: time span, events per type (count, bytes,
    rate), calls per function (count, statuses, failures, redacted secrets).
    result_type gives a function's C result type ("int", "long long", ...);
    where it is known, only int results count as statuses."""
    out = []
    if events is not None:
        if events:
            first, last = min(e.time_ms for e in events), max(e.time_ms for e in events)
            span = (last - first) / 1000.0
            out.append(f"events: {len(events)} from {first} ms to {last} ms ({span:.3f} s)")
        else:
            span = 0.0
            out.append("events: none")
        per_type: "OrderedDict[str, List[int]]" = OrderedDict()
        for e in events:
            c = per_type.setdefault(e.type, [0, 0])
            c[0] += 1
            c[1] += len(e.payload)
        if per_type:
            width = max(len("type"), max(len(t) for t in per_type))
            out.append(f"  {'type':<{width}}  {'count':>7}  {'bytes':>10}  {'per s':>9}")
            for t, (n, size) in sorted(per_type.items(), key=lambda kv: (-kv[1][0], kv[0])):
                rate = f"{n / span:.2f}" if span > 0 else "-"
                out.append(f"  {t:<{width}}  {n:>7}  {size:>10}  {rate:>9}")
    if calls is not None:
        fns: "OrderedDict[str, List[RecordedCall]]" = OrderedDict()
        for c in calls:
            fns.setdefault(c.fn, []).append(c)
        out.append(f"calls: {len(calls)} to {len(fns)} function{'s' * (len(fns) != 1)}")
        if fns:
            rows = []
            for fn, cs in sorted(fns.items(), key=lambda kv: (-len(kv[1]), kv[0])):
                is_status = result_type is None or result_type(fn) == "int"
                statuses = Counter(c.ret for c in cs if is_status and isinstance(c.ret, int)
                                   and not isinstance(c.ret, bool))
                failures = sum(n for v, n in statuses.items() if v != success)
                redacted = sum(isinstance(a, Redacted) for c in cs for a in c.args + [c.ret])
                shown = ", ".join(f"{v} x{n}" for v, n in sorted(statuses.items(), key=lambda kv: -kv[1])[:4])
                if len(statuses) > 4:
                    shown += f", ... ({len(statuses)} values)"
                rows.append((fn, len(cs), shown or "-", failures, redacted))
            width = max(len("function"), max(len(r[0]) for r in rows))
            out.append(f"  {'function':<{width}}  {'count':>6}  {'failures':>8}  {'redacted':>8}  statuses")
            for fn, n, shown, failures, redacted in rows:
                out.append(f"  {fn:<{width}}  {n:>6}  {failures:>8}  {redacted:>8}  {shown}")
    return "\n".join(out)


def plot(events: List[Event], path: str, title: str = "") -> None:
    """Draws the events over time, one row per type, into a PNG file."""
    try:
        import matplotlib
    except ImportError:
        raise RuntimeError("--plot needs matplotlib, which is not installed for this interpreter "
                           "(on Debian: apt-get install python3-matplotlib)") from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    types = sorted({e.type for e in events})
    fig, ax = plt.subplots(figsize=(10, 1.2 + 0.45 * max(len(types), 1)))
    for row, t in enumerate(types):
        times = [e.time_ms / 1000.0 for e in events if e.type == t]
        ax.scatter(times, [row] * len(times), marker="|", s=200)
    ax.set_yticks(range(len(types)))
    ax.set_yticklabels(types)
    ax.set_ylim(-0.7, max(len(types), 1) - 0.3)
    ax.set_xlabel("time (s)")
    ax.set_title(title or os.path.basename(path))
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
