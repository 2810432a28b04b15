"""The main job: the demo strategy runs a session against the stand-in and
places its order."""
import os
import subprocess
import sys

from conftest import PKG, ROOT


def test_demo_places_its_order_and_stops_after_the_report():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([PKG, os.path.join(ROOT, "standin")]))
    r = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "demo.py")], capture_output=True,
                       text=True, env=env, cwd=os.path.dirname(PKG), timeout=60)
    assert r.returncode == 0, r.stdout + r.stderr
    out = r.stdout.splitlines()
    assert "  placed order demo-1: buy 100 SHSE.600000 @ 10.41" in out
    assert "  order report: demo-1 filled, 100 @ 10.41" in out
    assert ("  log vysdk DEBUG: invoke c fun=py_vyi_get_cash error code=1017, "
            "error info=account not logged in") in out
    assert "  ticks seen: 3, last price 10.41" in out
    assert "  events left unplayed: 1" in out
    calls = next(line for line in out if line.startswith("  library calls: "))
    assert "vyi_run, vyi_place_order_pb, vyi_stop" in calls
    assert r.stderr == ""
