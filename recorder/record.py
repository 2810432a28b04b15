"""Records a session: runs a strategy script with the recording libvy3-c.so
beside the module in place of the library, forwarding to the real one.

    python3 recorder/record.py --target /path/to/real/libvy3-c.so \\
        --events session.events --calls session.calls strategy.py [args...]
    python3 recorder/record.py --target /path/to/real/libvy3-c.so \\
        -m pytest --vy-record-mode=once tests/ [pytest args...]

The host package `vy` of the importable tree (--pkg, default: where `vy` is
imported from) is copied to
a temporary directory with the recorder's libvy3-c.so (--recorder, default: the
one beside this script where installed, else <build>/recorder/libvy3-c.so next
to <build>/pkg) in place of the library, and
the script runs there with VY_RECORD_TARGET, VY_RECORD_EVENTS and
VY_RECORD_CALLS set. A script that drives the stand-in through vystandin (the
demo) reaches the target library, so a stand-in build can play the real one.
With -m a module runs instead of a script: under pytest, the vystandin plugin
gives each test with a vy_session marker a recording of its own (through the
recorder's control API), and --events and --calls may be left out. The exit
status is the script's.
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
if sys.argv[1] == "-m":
    sys.argv = sys.argv[2:]
    sys.path.insert(0, os.getcwd())
    runpy.run_module(sys.argv[0], run_name="__main__", alter_sys=True)
else:
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


def default_recorder(pkg):
    """Installed, the recording library sits beside this script; in a build
    tree, in <build>/recorder next to <build>/pkg."""
    beside = os.path.join(HERE, "libvy3-c.so")
    if os.path.exists(beside):
        return beside
    return os.path.join(os.path.dirname(pkg), "recorder", "libvy3-c.so")


def stage(pkg, recorder, into):
    """A copy of the host package `vy` of the importable tree (only it: the
    tree may be a whole site-packages) with the recorder in place of the
    library."""
    staged = os.path.join(into, "pkg")
    shutil.copytree(os.path.join(pkg, "vy"), os.path.join(staged, "vy"), ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copy2(recorder, os.path.join(staged, "vy", "csdk", "libvy3-c.so"))
    return staged


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--target", required=True, help="the library to record (VY_RECORD_TARGET)")
    p.add_argument("--events", help="event file to write (VY_RECORD_EVENTS)")
    p.add_argument("--calls", help="call file to write (VY_RECORD_CALLS)")
    p.add_argument("--pkg", help="importable tree to stage (default: where vy comes from)")
    p.add_argument("--recorder", help="recording library (default: <build>/recorder/libvy3-c.so)")
    p.add_argument("-m", dest="module", metavar="MODULE ...", help="run a module with the arguments after it "
                   "(-m pytest ...)")
    p.add_argument("script", nargs="?")
    p.add_argument("args", nargs=argparse.REMAINDER)
    argv = list(sys.argv[1:] if argv is None else argv)
    # Everything after -m MODULE is the module's, options included.
    rest = []
    if "-m" in argv and argv.index("-m") + 1 < len(argv):
        i = argv.index("-m")
        argv, rest = argv[:i + 2], argv[i + 2:]
    a = p.parse_args(argv)
    if a.module:
        run = ["-m", a.module] + rest
    elif a.script:
        run = [a.script] + a.args
    else:
        p.error("a script or -m MODULE is required")
    if not (a.events or a.calls or a.module):
        p.error("--events or --calls is required")
    pkg = os.path.abspath(a.pkg or default_pkg())
    recorder = a.recorder or default_recorder(pkg)
    env = dict(os.environ, VY_RECORD_TARGET=os.path.abspath(a.target))
    for name, path in (("VY_RECORD_EVENTS", a.events), ("VY_RECORD_CALLS", a.calls)):
        env.pop(name, None)
        if path:
            env[name] = os.path.abspath(path)
    with tempfile.TemporaryDirectory(prefix="vy-record-") as tmp:
        staged = stage(pkg, recorder, tmp)
        # The staged tree comes first, so its vy is the one imported.
        env["PYTHONPATH"] = os.pathsep.join([staged, STANDIN] + [p for p in [os.environ.get("PYTHONPATH")] if p])
        return subprocess.call([sys.executable, "-c", BOOTSTRAP] + run, env=env)


if __name__ == "__main__":
    sys.exit(main())
