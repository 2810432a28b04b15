"""The strategy against a session recorded from the live library.

    pytest -p vystandin.pytest_plugin examples/replay
"""
import os

import pytest

from strategy import DipBuyer


@pytest.mark.vy_session("dip_buy")
def test_buys_once_below_the_limit_and_stops_after_the_report(market):
    strategy = DipBuyer("SHSE.600000", limit=10.45)
    # The token never reached the recording; any token matches its marker.
    strategy.run(token=os.environ.get("VY_TOKEN", "a-token-of-your-own"))
    assert strategy.prices == [10.52, 10.48, 10.41]
    assert strategy.order == {"cl_ord_id": "ord-1", "status": "new"}
    assert strategy.report == {"cl_ord_id": "ord-1", "status": "filled", "filled_volume": 100}
