#!/usr/bin/env bash
# Prints the path of a free-threaded CPython 3.13 (python3.13t): one on PATH,
# under ~/.pyenv/versions/ or in the cache, else one built once from Debian 13's
# source package into ${XDG_CACHE_HOME:-~/.cache}/c_sdk/python3.13t
# (scripts/build_cpython.sh). Fails, with a message on stderr, when none can
# be had.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

# A usable one: 3.13, built without the GIL and running without it at start-up
# (-I ignores PYTHON_GIL), with ctypes (the tests drive the stand-in through
# it), not a debug build (such as the ThreadSanitizer one).
usable() {
  "$1" -I -c '
import sys, sysconfig, ctypes
assert sys.version_info[:2] == (3, 13), sys.version
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1
assert not sys._is_gil_enabled()
assert not sysconfig.get_config_var("Py_DEBUG")
' >/dev/null 2>&1
}

for python in $(command -v python3.13t || true) \
              $(ls -d "$HOME"/.pyenv/versions/3.13*t/bin/python3.13t 2>/dev/null | sort -rV); do
  if usable "$python"; then
    echo "$python"
    exit 0
  fi
done

python=$("$root/scripts/build_cpython.sh" python3.13t --disable-gil)
if ! usable "$python"; then
  echo "ft_python: $python is not a working free-threaded CPython 3.13" >&2
  exit 1
fi
# Debian's source package carries no pip wheel for ensurepip, so the build has
# no pip; without one no wheel can be built for it. pip runs from its own wheel
# to install itself: the newest one a pyenv CPython 3.12 or later bundles.
if ! "$python" -m pip --version >/dev/null 2>&1; then
  pip_wheel=$(ls "$HOME"/.pyenv/versions/3.1[2-9]*/lib/python3.1[2-9]/ensurepip/_bundled/pip-*.whl 2>/dev/null |
              sort -t- -k2V | tail -n 1 || true)
  if [ -n "$pip_wheel" ]; then
    "$python" "$pip_wheel/pip" install -q --no-index --no-cache-dir --disable-pip-version-check --root-user-action=ignore "$pip_wheel" >&2 ||
      echo "ft_python: pip did not install: $python has no pip" >&2
  else
    echo "ft_python: no pip wheel to be had: $python has no pip" >&2
  fi
fi
echo "$python"
