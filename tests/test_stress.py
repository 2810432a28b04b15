"""The long-run stress script, scaled down: 200,000 events through the run
loop with raising and rebound callables and foreign-thread events, checked for
resident memory and (on the debug interpreter) the total reference count.  It
runs in a child interpreter, so a crash fails the test.  scripts/stress.py runs
the full ten million events; CSDK_STRESS_EVENTS=10000000 makes this test do so."""
import os
import subprocess
import sys

from conftest import PKG, ROOT

SCRIPT = os.path.join(ROOT, "scripts", "stress.py")
EVENTS = int(os.environ.get("CSDK_STRESS_EVENTS", "200000"))


def test_stress():
    r = subprocess.run([sys.executable, SCRIPT, "--events", str(EVENTS), "--foreign", "20", "--pkg", PKG],
                       capture_output=True, text=True, timeout=max(600, EVENTS // 1000), cwd=os.path.dirname(PKG))
    report = r.stdout + r.stderr[-4000:]
    assert r.returncode == 0, report
    lines = r.stdout.splitlines()
    assert lines[0].startswith(f"stress: {EVENTS} events in {EVENTS // 1000} runs of 1000"), report
    checks = lines[1:]
    assert checks and all(line.startswith("ok ") for line in checks), report
    expected = [f"events delivered: {EVENTS} of {EVENTS}", f"exceptions raised: {EVENTS // 1000}",
                f"exception reports on stderr: {EVENTS // 500} (two per exception)",
                "foreign-thread events: 20 fired, 20 dropped with their stderr line", "resident memory: "]
    if hasattr(sys, "gettotalrefcount"):
        expected.append("total reference count: ")
    for text in expected:
        assert any(text in line for line in checks), f"missing check {text!r}:\n{report}"
    print(r.stdout)
