"""The market, for recording this example without the real library: when the
session is recorded against the stand-in's second build (which plays the real
library here), this programs what the library would deliver. Against the real
library, or in a replay, it does nothing: the recording answers.

    PYTHONPATH=build/deb/pkg:standin python3 recorder/record.py \\
        --target build/deb/alt/libvy3-c.so -m pytest -p vystandin.pytest_plugin \\
        --vy-record-mode=all examples/replay
"""
import json

import pytest
import vystandin


@pytest.fixture
def market(vy_session, standin):
    if vy_session is None or not vy_session.recording or not isinstance(standin, vystandin.StandIn):
        return
    # Queued in the order the library delivers them.
    tick = {"symbol": "SHSE.600000"}
    for time_ms, price in ((0, 10.52), (100, 10.48), (200, 10.41)):
        standin.push_event("tick", json.dumps(dict(tick, price=price)).encode(), time_ms=time_ms)
    report = {"cl_ord_id": "ord-1", "status": "filled", "filled_volume": 100}
    standin.push_event("order_report", json.dumps(report).encode(), time_ms=300)
    standin.push_event("tick", json.dumps(dict(tick, price=10.39)).encode(), time_ms=400)
    standin.set_response("vyi_place_order_pb", json.dumps({"cl_ord_id": "ord-1", "status": "new"}).encode())
