"""What a recorded session holds, and how two recordings differ.

    python -m vystandin inspect SESSION [--plot FILE.png]
    python -m vystandin diff A B [--match-on fn,args] [--limit N]

SESSION (and A, B) name a recording as written by the recording library:
SESSION.events and SESSION.calls, either of which may be given or missing.
inspect prints the time span, events per type (count, bytes, rate) and calls
per function (count, failures, redacted secrets, statuses); --plot draws the
events over time per type (needs matplotlib). diff prints the first
differences between the recordings' calls, per function in call order, as
the pytest plugin reports a replay that strays from its recording; it exits
with 1 when they differ. A recording that cannot be read exits with 2 and
its file, line and what is wrong.
"""
import argparse
import os
import sys
from typing import Callable, List, Optional

from . import session as rec


def _result_type() -> Optional[Callable[[str], Optional[str]]]:
    """fn -> its C result type, from the stand-in library where it can be
    loaded (statuses are then the int results only); None otherwise."""
    try:
        from . import StandIn

        si = StandIn()
    except Exception:
        return None

    def result_type(fn: str) -> Optional[str]:
        try:
            return si.result_type(fn)
        except ValueError:
            return None

    return result_type


def _success() -> int:
    try:
        from vy.constant import CSDK_OPERATE_SUCCESS

        return int(CSDK_OPERATE_SUCCESS)
    except Exception:
        return 0


def _load(session: str, need_calls: bool = False):
    events_path, calls_path = rec.session_paths(session)
    have_events, have_calls = os.path.exists(events_path), os.path.exists(calls_path)
    if not (have_events or have_calls) or (need_calls and not have_calls):
        missing = calls_path if need_calls else f"{events_path} or {calls_path}"
        raise rec.RecordingError(session, None, f"no recording: {missing} not found")
    events = rec.read_events(events_path) if have_events else None
    calls = rec.read_calls(calls_path) if have_calls else None
    return events_path, calls_path, events, calls


def inspect(args: argparse.Namespace) -> int:
    events_path, calls_path, events, calls = _load(args.session)
    print(f"session {os.path.splitext(calls_path)[0]}")
    print(rec.summary(events, calls, _result_type(), _success()))
    if args.plot:
        if not events:
            print(f"--plot: {events_path} holds no events", file=sys.stderr)
            return 2
        rec.plot(events, args.plot, title=os.path.basename(os.path.splitext(events_path)[0]))
        print(f"plot written to {args.plot}")
    return 0


def diff(args: argparse.Namespace) -> int:
    _, a_path, _, a_calls = _load(args.a, need_calls=True)
    _, b_path, _, b_calls = _load(args.b, need_calls=True)
    match_on = tuple(m.strip() for m in args.match_on.split(",") if m.strip())
    diffs = rec.compare(a_calls, [(c.fn, c.args) for c in b_calls], match_on=match_on)
    if not diffs:
        print(f"the calls of {a_path} and {b_path} match (match_on={match_on})")
        return 0
    print(f"- {a_path}\n+ {b_path}")
    print(rec.describe_differences(diffs, recorded_label=a_path, made_label=b_path, limit=args.limit))
    return 1


def main(argv: Optional[List[str]] = None) -> int:
    p = argparse.ArgumentParser(prog="python -m vystandin", description=__doc__.splitlines()[0])
    sub = p.add_subparsers(dest="command")
    sub.required = True
    i = sub.add_parser("inspect", help="what a recording holds")
    i.add_argument("session", help="SESSION, SESSION.events or SESSION.calls")
    i.add_argument("--plot", metavar="FILE.png", help="draw the events over time per type")
    i.set_defaults(run=inspect)
    d = sub.add_parser("diff", help="the first differences between two recordings' calls")
    d.add_argument("a")
    d.add_argument("b")
    d.add_argument("--match-on", default="fn,args", help="what is compared: fn,args (default) or fn")
    d.add_argument("--limit", type=int, default=10, help="differences shown (default 10)")
    d.set_defaults(run=diff)
    args = p.parse_args(argv)
    try:
        return args.run(args)
    except (rec.RecordingError, OSError, RuntimeError, ValueError) as e:
        print(f"python -m vystandin {args.command}: {e}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
