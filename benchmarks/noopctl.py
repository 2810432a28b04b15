"""Control of the benchmarks' no-op libvy3-c.so (noop.cpp), the one beside
vy.csdk.c_sdk in the tree scripts/bench.sh prepares."""
import ctypes
import os

import vy.csdk.c_sdk as c_sdk

PATH = os.path.join(os.path.dirname(c_sdk.__file__), "libvy3-c.so")


class NoOp:
    def __init__(self):
        # PyDLL: the interpreter lock stays held, since vyi_run() calls back.
        self.lib = ctypes.PyDLL(PATH)
        if not hasattr(self.lib, "noop_set_events"):
            raise RuntimeError(f"{PATH} is not the benchmarks' no-op library")

    def set_response(self, data):
        if self.lib.noop_set_response(data, len(data)) != 0:
            raise MemoryError("noop_set_response")

    def set_events(self, msg_type, size, count):
        if self.lib.noop_set_events(msg_type.encode(), size, count) != 0:
            raise ValueError(f"noop_set_events({msg_type!r}, {size}, {count})")

    def runs(self):
        return self.lib.noop_runs()
