"""Records a session: runs a strategy script with the recording libvy3-c.so
beside the module in place of the library, forwarding to the real one.

    python3 recorder/record.py --target /path/to/real/libvy3-c.so \\
        --events session.events --calls session.calls strategy.py [args...]

The importable tree (--pkg, default: where `vy` is imported from) is copied to
a temporary directory with the recorder's libvy3-c.so (--recorder, default:
<build>/recorder/libvy3-c.so next to <build>/pkg) in place of the library, and
the script runs there with VY_RECORD_TARGET, VY_RECORD_EVENTS and
VY_RECORD_CALLS set. A script that drives the stand-in through vystandin (the
demo) reaches the target library, so a stand-in build can play the real one.
The exit status is the script's.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
STANDIN = os.path.join(os.path.dirname(HERE), "standin")

# Run in the child before the script: vystandin's default library becomes the
# target, the one the recorder forwards to.
BOOTSTRAP = """
import os, runpy, sys
import vystandin
vystandin.default_library_path = lambda: os.environ["VY_RECORD_TARGET"]
sys.argv = sys.argv[1:]
sys.path.insert(0, os.path.dirname(os.path.abspath(sys.argv[0])))
runpy.run_path(sys.argv[0], run_name="__main__")
"""


def default_pkg():
    pkg = os.environ.get("CSDK_PKG")
    if pkg:
        return pkg
    import vy
    return os.path.dirname(os.path.dirname(os.path.abspath(vy.__file__)))


def stage(pkg, recorder, into):
    """A copy of the importable tree with the recorder in place of the library."""
    staged = os.path.join(into, "pkg")
    shutil.copytree(pkg, staged, ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copy2(recorder, os.path.join(staged, "vy", "csdk", "libvy3-c.so"))
    return staged


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--target", required=True, help="the library to record (VY_RECORD_TARGET)")
    p.add_argument("--events", required=True, help="event file to write (VY_RECORD_EVENTS)")
    p.add_argument("--calls", help="call file to write (VY_RECORD_CALLS)")
    p.add_argument("--pkg", help="importable tree to stage (default: where vy comes from)")
    p.add_argument("--recorder", help="recording library (default: <build>/recorder/libvy3-c.so)")
    p.add_argument("script")
    p.add_argument("args", nargs=argparse.REMAINDER)
    a = p.parse_args(argv)
    pkg = os.path.abspath(a.pkg or default_pkg())
    recorder = a.recorder or os.path.join(os.path.dirname(pkg), "recorder", "libvy3-c.so")
    env = dict(os.environ, VY_RECORD_TARGET=os.path.abspath(a.target), VY_RECORD_EVENTS=os.path.abspath(a.events))
    env.pop("VY_RECORD_CALLS", None)
    if a.calls:
        env["VY_RECORD_CALLS"] = os.path.abspath(a.calls)
    with tempfile.TemporaryDirectory(prefix="vy-record-") as tmp:
        staged = stage(pkg, recorder, tmp)
        env["PYTHONPATH"] = os.pathsep.join([staged, STANDIN])
        return subprocess.call([sys.executable, "-c", BOOTSTRAP, a.script] + a.args, env=env)


if __name__ == "__main__":
    sys.exit(main())
