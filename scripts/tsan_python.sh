#!/usr/bin/env bash
# Prints the path of a ThreadSanitizer build of the free-threaded CPython 3.13,
# built once from Debian 13's source package into
# ${XDG_CACHE_HOME:-~/.cache}/c_sdk/python3.13t-tsan (scripts/build_cpython.sh):
# --disable-gil --with-thread-sanitizer --with-pydebug, as CPython runs its own
# sanitizer checks. CPython's suppressions are installed beside it, in
# share/tsan/suppressions_free_threading.txt. Built with gcc, whose TSan
# runtime (libtsan.so) the module and the stand-in, built by g++, then share:
# two runtimes in one process do not work.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=$("$root/scripts/build_cpython.sh" python3.13t-tsan --disable-gil --with-thread-sanitizer --with-pydebug \
         CC=gcc CXX=g++)
if ! "$python" -I -c '
import sys, sysconfig
assert sys.version_info[:2] == (3, 13), sys.version
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1
assert "--with-thread-sanitizer" in sysconfig.get_config_var("CONFIG_ARGS")
' >/dev/null 2>&1; then
  echo "tsan_python: $python is not a free-threaded CPython 3.13 with ThreadSanitizer" >&2
  exit 1
fi
echo "$python"
