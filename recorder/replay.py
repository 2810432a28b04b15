"""Replays a recorded session on the stand-in library and runs a strategy
script against it.

    PYTHONPATH=build/deb/pkg:standin python3 recorder/replay.py \\
        session.events session.calls strategy.py [args...]

The stand-in is reset and loaded with the recorded calls (each function
answers as it did in the session, in order) and events (delivered by
vyi_run). A script that programs the stand-in itself (the demo) gets a
StandIn whose reset() reloads the recording and whose programming calls
(set_status, set_response, load_event_file, ...) are ignored: in a replay the
recording answers.
"""
import os
import runpy
import sys

import vystandin

_IGNORED = ("set_status", "set_longlong", "set_double", "set_text", "set_response", "set_response_raw",
            "push_event", "load_event_file", "load_call_file", "set_run_until", "deliver_inline")


class ReplayStandIn(vystandin.StandIn):
    """The stand-in, answering from a recording whatever the script programs."""

    events = None
    calls = None

    def reset(self):
        super().reset()
        if self.calls:
            super().load_call_file(self.calls)
        if self.events:
            super().load_event_file(self.events)


def _ignore(name):
    def ignored(self, *args, **kwargs):
        return None
    ignored.__name__ = name
    return ignored


for _name in _IGNORED:
    setattr(ReplayStandIn, _name, _ignore(_name))


def replay(events, calls, script, args=()):
    """Loads the recording and runs script as __main__."""
    ReplayStandIn.events = os.path.abspath(events)
    ReplayStandIn.calls = os.path.abspath(calls) if calls else None
    vystandin.StandIn = ReplayStandIn
    ReplayStandIn().reset()
    sys.argv = [script] + list(args)
    sys.path.insert(0, os.path.dirname(os.path.abspath(script)))
    runpy.run_path(script, run_name="__main__")


def main(argv):
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    events, calls, script = argv[:3]
    try:
        replay(events, calls or None, script, argv[3:])
    except SystemExit as e:
        return e.code
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
