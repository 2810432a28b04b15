"""pytest plugin: strategy tests against the stand-in, and recorded sessions
replayed as strict regression tests.

    pytest -p vystandin.pytest_plugin tests/

Fixtures
    standin      the stand-in (a vystandin.StandIn), reset for each test with an
                 empty journal; the module's event callable (c_sdk.f) is
                 restored after the test, as it was (absent included).
    vy_session   the test's recorded session (VySession): name, files, mode,
                 whether it is being recorded; None without the marker.

Marker
    @pytest.mark.vy_session(NAME, match_on=("fn", "args"), allow_unplayed=False)
    replays NAME.events and NAME.calls from the folder sessions/ beside the
    test file (ini option vy_sessions_dir), and fails the test, with a report,
    when a call has no recorded result, a recorded call was never made
    (unless allow_unplayed), or a call's arguments differ from the recorded
    ones (match_on=("fn",) compares only the functions). Calls are compared
    per function in call order, as the stand-in replays them; a secret
    redacted in the recording matches any value.

Record modes (--vy-record-mode, ini option vy_record_mode)
    none   replay only (the default); a missing recording fails the test
    once   record a session whose recording does not exist yet, else replay
    all    record every session
Recording needs the process to run with the recording library in place of
the library, in front of the real one (recorder/record.py ... -m pytest):
each recorded test gets its own files through the recorder's control API.
"""
import ctypes
import os
from typing import Any, List, Optional, Sequence

import pytest

from . import StandIn, StandInError
from . import session as rec

MODES = ("none", "once", "all")
_ABSENT = object()

_MARKER_HELP = ("vy_session(name, match_on=('fn', 'args'), allow_unplayed=False): replay the recorded session "
                "NAME (NAME.events, NAME.calls in the sessions folder beside the test file) on the stand-in, "
                "and fail the test where its calls stray from the recording")


def pytest_addhooks(pluginmanager: Any) -> None:
    # Loaded by module name (-p vystandin.pytest_plugin) where the installed
    # entry point "vystandin" names this same module: it must not register
    # it a second time under its other name.
    if pluginmanager.get_plugin("vystandin") is None:
        pluginmanager.set_blocked("vystandin")


def pytest_addoption(parser: Any) -> None:
    group = parser.getgroup("vystandin", "recorded sessions replayed on the stand-in")
    group.addoption("--vy-record-mode", dest="vy_record_mode", choices=MODES, default=None,
                    help="none: replay only, a missing recording fails (default); once: record what is not "
                         "recorded yet; all: record every session. Recording needs the recording library in "
                         "place of the library (recorder/record.py ... -m pytest).")
    parser.addini("vy_record_mode", "record mode when --vy-record-mode is not given (none, once, all)",
                  default="none")
    parser.addini("vy_sessions_dir", "folder of the recorded sessions, beside each test file (or absolute)",
                  default="sessions")


def pytest_configure(config: Any) -> None:
    config.addinivalue_line("markers", _MARKER_HELP)
    mode = _record_mode(config)
    if mode not in MODES:
        raise pytest.UsageError(f"vy_record_mode = {mode!r}: expected one of {', '.join(MODES)}")


def _record_mode(config: Any) -> str:
    return config.getoption("vy_record_mode") or str(config.getini("vy_record_mode")).strip() or "none"


# ---- the library the module uses ---------------------------------------------

def _module_library() -> str:
    import vy.csdk.c_sdk as c_sdk

    return os.path.join(os.path.dirname(c_sdk.__file__), "libvy3-c.so")


def _recorder() -> Optional[ctypes.CDLL]:
    """The recording library, when it is the one beside the module."""
    lib = ctypes.CDLL(_module_library())  # already loaded by the module: the same instance
    if not hasattr(lib, "vyr_start"):
        return None
    lib.vyr_start.restype = ctypes.c_int
    lib.vyr_start.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    lib.vyr_stop.restype = ctypes.c_int
    lib.vyr_last_error.restype = ctypes.c_char_p
    lib.vyr_target.restype = ctypes.c_char_p
    return lib


def _is_standin(path: str) -> bool:
    try:
        return hasattr(ctypes.CDLL(path), "vys_reset")
    except OSError:
        return False


class _LiveLibrary:
    """The standin fixture while recording against a library that is not the
    stand-in: there is nothing to program."""

    def __init__(self, target: str):
        self.target = target

    def __getattr__(self, name: str) -> Any:
        raise StandInError(f"standin.{name}: this test records a live session against {self.target}, which is "
                           "not the stand-in; a test that records programs nothing (see vy_session.recording)")


# ---- a test's session --------------------------------------------------------

class VySession:
    """The recorded session of one test (the vy_session fixture)."""

    def __init__(self, name: str, directory: str, match_on: Sequence[str], allow_unplayed: bool, mode: str):
        self.name = name
        base = os.path.join(directory, name)
        self.events, self.calls = base + ".events", base + ".calls"
        self.match_on = tuple(match_on)
        self.allow_unplayed = bool(allow_unplayed)
        self.record_mode = mode
        self.recording = False  # this run records the session (else it replays it)
        self.recorded: List[rec.RecordedCall] = []
        self.problem: Optional[str] = None  # fails the test before it runs
        self.standin: Any = None
        self._recorder: Optional[ctypes.CDLL] = None

    def __repr__(self) -> str:
        return f"VySession({self.name!r}, {'recording' if self.recording else 'replaying'} {self.calls})"

    def exists(self) -> bool:
        return os.path.exists(self.events) or os.path.exists(self.calls)

    def _fail(self, what: str) -> None:
        self.problem = f"vy_session {self.name!r}: {what}"
        self.recording = False  # nothing is recorded, nor replayed

    def start(self) -> Any:
        """Sets the session up; returns what the standin fixture gives."""
        recorder = _recorder()
        self.recording = self.record_mode == "all" or (self.record_mode == "once" and not self.exists())
        if self.recording:
            return self._start_recording(recorder)
        if not self.exists():
            self._fail(f"no recording: {self.calls} and {self.events} do not exist, and record mode "
                       f"{self.record_mode!r} replays only; record it with --vy-record-mode=once "
                       f"({_how_to_record()})")
            return None
        library = _module_library()
        if recorder is not None:
            target = (recorder.vyr_target() or b"").decode()
            if not _is_standin(target):
                self._fail(f"cannot replay: this process runs the recording library in front of "
                           f"{target or '(no library)'}, not the stand-in; replay without recorder/record.py, or "
                           f"record again with --vy-record-mode=all")
                return None
            library = target
        try:
            self.recorded = rec.read_calls(self.calls)
            rec.read_events(self.events)  # the same checks as the stand-in's, with the Python reader's words
            si = StandIn(library)
            si.reset()
            si.load_call_file(self.calls)
            si.load_event_file(self.events)
        except (rec.RecordingError, StandInError, OSError) as e:
            self._fail(f"cannot replay the recording: {e}")
            return None
        self.standin = si
        return si

    def _start_recording(self, recorder: Optional[ctypes.CDLL]) -> Any:
        if recorder is None:
            self._fail(f"record mode {self.record_mode!r} needs the recording library in place of the library, in "
                       f"front of the real one; {_how_to_record(self.record_mode)}")
            return None
        os.makedirs(os.path.dirname(self.calls) or ".", exist_ok=True)
        if recorder.vyr_start(os.fsencode(self.events), os.fsencode(self.calls)) != 0:
            self._fail(f"cannot record: {recorder.vyr_last_error().decode(errors='replace')}")
            return None
        self._recorder = recorder
        target = (recorder.vyr_target() or b"").decode()
        if _is_standin(target):
            si = StandIn(target)
            si.reset()
            self.standin = si
            return si
        return _LiveLibrary(target or "(no library)")

    def finish(self) -> None:
        if self._recorder is not None:
            self._recorder.vyr_stop()  # the files are complete from here
            self._recorder = None

    def check(self) -> str:
        """The strict replay's report ("" when the calls match the recording)."""
        if self.recording or self.standin is None:
            return ""
        made = [(c.fn, c.args) for c in self.standin.journal()]
        diffs = rec.compare(self.recorded, made, self.match_on, self.allow_unplayed)
        if not diffs:
            return ""
        return (f"vy_session {self.name!r}: the test's calls stray from the recording {self.calls} "
                f"(match_on={self.match_on!r})\n" + rec.describe_differences(diffs))


def _how_to_record(mode: str = "once") -> str:
    return ("start the session under the recording library, e.g. python3 recorder/record.py --target "
            f"/path/to/the/real/libvy3-c.so -m pytest -p vystandin.pytest_plugin --vy-record-mode={mode} ... "
            "(recorder/record.py of the c_sdk source tree)")


def _session_from_marker(item: Any, marker: Any) -> VySession:
    args, kwargs = list(marker.args), dict(marker.kwargs)
    name = args.pop(0) if args else kwargs.pop("name", None)
    match_on = args.pop(0) if args else kwargs.pop("match_on", rec.MATCH_ON)
    allow_unplayed = args.pop(0) if args else kwargs.pop("allow_unplayed", False)
    if args or kwargs:
        raise pytest.UsageError(f"{item.nodeid}: vy_session takes (name, match_on=('fn', 'args'), "
                                f"allow_unplayed=False), not {marker.args!r} {marker.kwargs!r}")
    if not isinstance(name, str) or not name or os.path.isabs(name):
        raise pytest.UsageError(f"{item.nodeid}: vy_session needs a session name relative to the sessions folder, "
                                f"not {name!r}")
    if isinstance(match_on, str):
        match_on = (match_on,)
    unknown = [m for m in match_on if m not in rec.MATCH_ON]
    if unknown or not match_on:
        raise pytest.UsageError(f"{item.nodeid}: vy_session match_on={match_on!r}: use parts of {rec.MATCH_ON!r}")
    configured = str(item.config.getini("vy_sessions_dir")).strip() or "sessions"
    test_file = str(getattr(item, "path", None) or item.fspath)
    directory = os.path.join(os.path.dirname(test_file), configured)
    return VySession(name, directory, match_on, allow_unplayed, _record_mode(item.config))


# ---- fixtures and hooks ------------------------------------------------------

@pytest.fixture
def standin(request: Any) -> Any:
    """The stand-in, reset for this test; with a vy_session marker it answers
    from the recording (or records, by the record mode)."""
    import vy.csdk.c_sdk as c_sdk

    saved = vars(c_sdk).get("f", _ABSENT)
    marker = request.node.get_closest_marker("vy_session")
    session = _session_from_marker(request.node, marker) if marker else None
    request.node._vy_session = session
    si = None
    try:
        if session is not None:
            si = session.start()
        else:
            si = StandIn(_plain_library())
            si.reset()
        yield si
    finally:
        if session is not None:
            session.finish()
        if isinstance(si, StandIn):
            si.reset()  # no recorded results or events left for the next test
        if saved is _ABSENT:
            vars(c_sdk).pop("f", None)
        else:
            c_sdk.f = saved


def _plain_library() -> str:
    recorder = _recorder()
    if recorder is None:
        return _module_library()
    # Under the recording library, the library behind it (a stand-in build
    # playing the real one).
    return (recorder.vyr_target() or b"").decode() or _module_library()


@pytest.fixture
def vy_session(request: Any, standin: Any) -> Optional[VySession]:
    """The test's recorded session, or None without a vy_session marker."""
    return getattr(request.node, "_vy_session", None)


@pytest.fixture(autouse=True)
def _vy_session_marker(request: Any) -> None:
    # The marker works whether or not the test asks for the standin fixture.
    if request.node.get_closest_marker("vy_session") is not None:
        request.getfixturevalue("standin")


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_call(item: Any) -> None:
    session = getattr(item, "_vy_session", None)
    if session is not None and session.problem:
        pytest.fail(session.problem, pytrace=False)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: Any, call: Any) -> Any:
    outcome = yield
    report = outcome.get_result()
    session = getattr(item, "_vy_session", None)
    if report.when != "call" or session is None or session.problem:
        return
    text = session.check()  # before teardown resets the journal
    if not text:
        return
    if report.passed and not hasattr(report, "wasxfail"):
        report.outcome = "failed"
        report.longrepr = text
    else:
        report.sections.append(("vy_session", text))
