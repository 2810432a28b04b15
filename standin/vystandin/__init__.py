"""Control of the stand-in libvy3-c.so from Python (tests and the demo).

The library is loaded with ctypes.PyDLL, which keeps the interpreter lock held
during calls: events delivered from inside a control call run Python code. By
default it is the libvy3-c.so next to vy.csdk.c_sdk, so the control calls act
on the very library instance the module uses.

    si = StandIn()
    si.reset()
    si.set_status("vyi_get_orders_pb", -1)
    si.push_event("tick", b"\\x08\\x01", time_ms=100)
    ...
    [call] = si.calls("vyi_get_orders_pb")
    req_bytes, req_len = call.args[0]
"""

import ctypes
import json
import os
from typing import Any, List, NamedTuple, Optional, Union

__all__ = ["Call", "Redacted", "StandIn", "StandInError", "default_library_path"]

TextArg = Union[str, bytes, None]


class Call(NamedTuple):
    """One journaled SDK call. args holds one decoded value per C parameter,
    except that a (void *req, int req_len) pair is a single (bytes, length)
    tuple:

    text      bytes, or None for a NULL pointer; Redacted for a secret
              whose recorded value was redacted (in a replay)
    int       int
    bool      bool
    double    float (nan and infinities included)
    req       (bytes, length); bytes is None for a NULL pointer and empty
              when length <= 0
    out       "out", or None for a NULL out-pointer
    callback  "callback", or None for NULL
    """

    fn: str
    args: List[Any]


class Redacted(NamedTuple):
    """A secret kept out of a recording: its length and whether it was NULL,
    not its bytes. In a recording it matches any value."""

    length: int
    null: bool


class StandInError(RuntimeError):
    pass


class _DlInfo(ctypes.Structure):
    _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p),
                ("dli_sname", ctypes.c_char_p), ("dli_saddr", ctypes.c_void_p)]


def default_library_path() -> str:
    """The libvy3-c.so that vy.csdk.c_sdk is linked to, wherever the loader
    found it: beside the module (a host package's real library, or the build
    tree's stand-in) or in the stand-in distribution's lib folder."""
    import vy.csdk.c_sdk as module  # imported first: its library is the one to control

    # The module's own handle resolves vyi_run through its dependencies, and
    # dladdr names the file that defines it.
    address = ctypes.cast(ctypes.CDLL(module.__file__).vyi_run, ctypes.c_void_p)
    info = _DlInfo()
    # In libc since glibc 2.34; before, in libdl, which the interpreter links.
    dladdr = getattr(ctypes.CDLL(None), "dladdr", None)
    if dladdr is not None and dladdr(address, ctypes.byref(info)) and info.dli_fname:
        return os.path.realpath(os.fsdecode(info.dli_fname))
    return os.path.join(os.path.dirname(module.__file__), "libvy3-c.so")


def _text(value: TextArg) -> Optional[bytes]:
    if value is None or isinstance(value, bytes):
        return value
    return value.encode("utf-8")


def _decode_arg(arg: dict) -> Any:
    kind = arg["k"]
    if kind == "text":
        if arg.get("redacted"):
            return Redacted(arg["len"], arg["null"])
        return None if arg["null"] else bytes.fromhex(arg["hex"])
    if kind in ("int", "bool"):
        return arg["v"]
    if kind == "double":
        return float(arg["v"])  # "nan", "inf" and "-inf" arrive as strings
    if kind == "req":
        return (None if arg["null"] else bytes.fromhex(arg["hex"]), arg["len"])
    if kind in ("out", "callback"):
        return None if arg["null"] else kind
    raise StandInError(f"unknown journal argument kind {kind!r}")


_PROTOTYPES = {
    "vys_reset": (None, []),
    "vys_is_sdk_function": (ctypes.c_int, [ctypes.c_char_p]),
    "vys_result_type": (ctypes.c_char_p, [ctypes.c_char_p]),
    "vys_set_status": (None, [ctypes.c_char_p, ctypes.c_int]),
    "vys_set_longlong": (None, [ctypes.c_char_p, ctypes.c_longlong]),
    "vys_set_double": (None, [ctypes.c_char_p, ctypes.c_double]),
    "vys_set_text": (None, [ctypes.c_char_p, ctypes.c_char_p]),
    "vys_set_response": (None, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]),
    "vys_set_response_raw": (None, [ctypes.c_char_p, ctypes.c_int, ctypes.c_int]),
    "vys_journal_count": (ctypes.c_int, []),
    "vys_journal_entry": (ctypes.c_char_p, [ctypes.c_int]),
    "vys_journal_clear": (None, []),
    "vys_set_journaling": (None, [ctypes.c_int]),
    "vys_push_event": (None, [ctypes.c_longlong, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]),
    "vys_load_event_file": (ctypes.c_int, [ctypes.c_char_p]),
    "vys_last_error": (ctypes.c_char_p, []),
    "vys_pending_events": (ctypes.c_int, []),
    "vys_set_run_until": (None, [ctypes.c_longlong]),
    "vys_clock": (ctypes.c_longlong, []),
    "vys_deliver_inline": (None, [ctypes.c_char_p]),
    "vys_deliver_from_thread": (None, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]),
    "vys_load_call_file": (ctypes.c_int, [ctypes.c_char_p]),
    "vys_pending_calls": (ctypes.c_int, []),
    "vys_concurrency_peak": (ctypes.c_int, []),
}


class StandIn:
    """The stand-in's control API. Function names are SDK names such as
    "vyi_get_orders_pb"; an unknown name raises ValueError."""

    def __init__(self, path: Optional[str] = None):
        self.path = path or default_library_path()
        self.lib = ctypes.PyDLL(self.path)
        for name, (restype, argtypes) in _PROTOTYPES.items():
            f = getattr(self.lib, name)
            f.restype = restype
            f.argtypes = argtypes

    def _fn(self, fn: str) -> bytes:
        name = _text(fn)
        if not self.lib.vys_is_sdk_function(name):
            raise ValueError(f"not an SDK function of the stand-in: {fn!r}")
        return name

    def result_type(self, fn: str) -> str:
        """fn's C result type as the header spells it: "int", "long long",
        "double", "const char *" or "void"."""
        return self.lib.vys_result_type(self._fn(fn)).decode()

    # -- programmed results -------------------------------------------------

    def reset(self) -> None:
        self.lib.vys_reset()

    def set_status(self, fn: str, status: int) -> None:
        self.lib.vys_set_status(self._fn(fn), status)

    def set_longlong(self, fn: str, value: int) -> None:
        self.lib.vys_set_longlong(self._fn(fn), value)

    def set_double(self, fn: str, value: float) -> None:
        self.lib.vys_set_double(self._fn(fn), value)

    def set_text(self, fn: str, text: TextArg) -> None:
        """None makes the function return NULL."""
        self.lib.vys_set_text(self._fn(fn), _text(text))

    def set_response(self, fn: str, data: bytes) -> None:
        self.lib.vys_set_response(self._fn(fn), bytes(data), len(data))

    def set_response_raw(self, fn: str, null_pointer: bool, length: int) -> None:
        """*res NULL (or length bytes of 0xA5) and *res_len = length, as given."""
        self.lib.vys_set_response_raw(self._fn(fn), int(bool(null_pointer)), length)

    # -- journal ------------------------------------------------------------

    def journal(self) -> List[Call]:
        calls = []
        for i in range(self.lib.vys_journal_count()):
            entry = json.loads(self.lib.vys_journal_entry(i))
            calls.append(Call(entry["fn"], [_decode_arg(a) for a in entry["args"]]))
        return calls

    def calls(self, fn: str) -> List[Call]:
        self._fn(fn)
        return [c for c in self.journal() if c.fn == fn]

    def clear_journal(self) -> None:
        self.lib.vys_journal_clear()

    def set_journaling(self, on: bool) -> None:
        self.lib.vys_set_journaling(int(bool(on)))

    # -- events -------------------------------------------------------------

    def push_event(self, msg_type: TextArg, payload: Optional[bytes], time_ms: int = 0,
                   length: Optional[int] = None) -> None:
        """Queue an event. length defaults to len(payload) (0 for None); give it
        explicitly for contract-breaking events (NULL data with a length, or a
        negative length)."""
        if length is None:
            length = 0 if payload is None else len(payload)
        self.lib.vys_push_event(time_ms, _text(msg_type), None if payload is None else bytes(payload), length)

    def load_event_file(self, path: Union[str, os.PathLike]) -> int:
        n = self.lib.vys_load_event_file(os.fsencode(path))
        if n < 0:
            raise StandInError(self.last_error())
        return n

    def pending_events(self) -> int:
        return self.lib.vys_pending_events()

    def set_run_until(self, time_ms: Optional[int]) -> None:
        """None restores the default: the run ends with the event queue."""
        self.lib.vys_set_run_until(-1 if time_ms is None else time_ms)

    def clock(self) -> int:
        return self.lib.vys_clock()

    def deliver_inline(self, fn: Optional[str]) -> None:
        """Deliver the queued events inside the next call of fn; None cancels."""
        self.lib.vys_deliver_inline(None if fn is None else self._fn(fn))

    def deliver_from_thread(self, msg_type: TextArg, payload: Optional[bytes],
                            length: Optional[int] = None) -> None:
        """Call the registered callback once from a new thread, and join it."""
        if length is None:
            length = 0 if payload is None else len(payload)
        self.lib.vys_deliver_from_thread(_text(msg_type), None if payload is None else bytes(payload), length)

    # -- replay of a recorded session ---------------------------------------

    def load_call_file(self, path: Union[str, os.PathLike]) -> int:
        """Queue the results of a call file written by the recording library:
        each function answers its recorded calls in order, ahead of its
        programs, and timers start no events (the recorded events hold them).
        Returns how many calls; raises StandInError with the library's message
        (nothing queued). reset() drops them."""
        n = self.lib.vys_load_call_file(os.fsencode(path))
        if n < 0:
            raise StandInError(self.last_error())
        return n

    def concurrency_peak(self) -> int:
        """The most threads seen inside SDK functions at once, outside the
        callback, since the last reset (1 while the library is single-entry)."""
        return self.lib.vys_concurrency_peak()

    def pending_calls(self) -> int:
        """Recorded results not yet played back."""
        return self.lib.vys_pending_calls()

    def last_error(self) -> str:
        return self.lib.vys_last_error().decode("utf-8", "replace")
