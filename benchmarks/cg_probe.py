"""One path, N times, for instruction counts under callgrind (scripts/bench.sh
takes the difference of two runs for the queries, and counts only inside
vyi_run() for the events)."""
import sys

import vy.csdk.c_sdk as c_sdk
import vystandin
import _bench_ideal as ideal

path, n = sys.argv[1], int(sys.argv[2])
lib = vystandin.StandIn()
lib.reset()
lib.set_journaling(False)
lib.set_response("vyi_get_symbol_infos", bytes(range(32)))
ideal.bind(c_sdk)
REQ = b"\x08\x01\x12\x06SHSE.6"


def sink(msg_type, payload):
    pass


if path.startswith("query"):
    fn = {"query": c_sdk.py_vyi_get_symbol_infos, "query_ideal": ideal.query}[path]
    for _ in range(n):
        fn(REQ)
else:
    ours = path == "event64"
    (c_sdk.py_vyi_set_data_callback if ours else ideal.use_floor_callback)(sink)
    for _ in range(n):
        lib.push_event("tick", bytes(64))
    (c_sdk.py_vyi_run if ours else ideal.run)()
