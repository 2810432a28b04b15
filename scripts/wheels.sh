#!/usr/bin/env bash
# Builds every wheel and the source distribution, offline, into dist/:
#   vy-csdk          the module, one wheel per interpreter ABI: Debian's
#                    python3, every CPython 3.8 or later under ~/.pyenv/versions,
#                    and the free-threaded 3.13 that scripts/ft_python.sh names
#                    (when that script is there; CSDK_FT_PYTHON=none skips it);
#                    two interpreters of one ABI share their wheel;
#   vy-csdk-standin  the stand-in, the recorder and vystandin, built once;
#   vy-csdk-host     the host pieces, built once;
#   vy_csdk-<version>.tar.gz, from which this script builds the same set.
#
#   scripts/wheels.sh [-o DIR] [PYTHON...]    PYTHONs: only these interpreters
#
# Ends with one line per file built.  Interpreters without setuptools or wheel
# of their own get Debian's on PYTHONPATH for the build only.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/dist
if [ "${1:-}" = "-o" ]; then
  out=$(mkdir -p "$2" && cd "$2" && pwd)
  shift 2
fi
cd "$root"

interpreters=("$@")
if [ ${#interpreters[@]} -eq 0 ]; then
  [ -x /usr/bin/python3 ] && interpreters+=(/usr/bin/python3)
  for dir in $(ls -d "$HOME"/.pyenv/versions/3.* 2>/dev/null | sort -V); do
    python=$dir/bin/python3
    [ -x "$python" ] && "$python" -c 'import sys; sys.exit(sys.version_info < (3, 8))' && interpreters+=("$python")
  done
  ft=${CSDK_FT_PYTHON:-}
  if [ -z "$ft" ] && [ -x scripts/ft_python.sh ]; then
    ft=$(scripts/ft_python.sh 2>/dev/null | tail -n 1) || ft=""
  fi
  # (one without pip, where no pip wheel was to be had for it, gets none)
  [ -n "$ft" ] && [ "$ft" != none ] && [ -x "$ft" ] && "$ft" -m pip --version >/dev/null 2>&1 &&
    interpreters+=("$ft")
fi
[ ${#interpreters[@]} -gt 0 ] || { echo "wheels.sh: no interpreter found" >&2; exit 1; }

# build_path PYTHON: a PYTHONPATH holding Debian's setuptools and wheel where
# the interpreter lacks them: only those packages, so its own pip stays in charge.
build_path() {
  local missing dest entry base
  missing=$("$1" -c 'import importlib.util as u; print(" ".join(m for m in ("setuptools", "wheel") if not u.find_spec(m)))')
  [ -n "$missing" ] || return 0
  dest=$root/build/wheel-path/${missing// /-}
  mkdir -p "$dest"
  for entry in /usr/lib/python3/dist-packages/*; do
    base=$(basename "$entry")
    case " $missing " in
      *" setuptools "*) case "$base" in setuptools|setuptools-*|pkg_resources|_distutils_hack) ln -sfn "$entry" "$dest/$base" ;; esac ;;
    esac
    case " $missing " in
      *" wheel "*) case "$base" in wheel|wheel-*) ln -sfn "$entry" "$dest/$base" ;; esac ;;
    esac
  done
  echo "$dest"
}

# wheel PYTHON SOURCE: one wheel of the distribution at SOURCE, into $out.
wheel() {
  local python=$1 source=$2
  PYTHONPATH=$(build_path "$python") nice "$python" -m pip wheel -q --no-index --no-build-isolation \
    --no-deps -w "$out" "$source"
}

# The first interpreter (Debian's, where there is one) builds what is built
# once: the source distribution first, from the tree as it is, then the
# interpreter-independent wheels.
builder=${interpreters[0]}
mkdir -p "$out"
rm -f "$out"/vy_csdk-*.whl "$out"/vy_csdk_standin-*.whl "$out"/vy_csdk_host-*.whl "$out"/vy[-_]csdk-*.tar.gz
echo "== the source distribution ($builder)"
# (setuptools notes each exclusion that found nothing to exclude)
PYTHONPATH=$(build_path "$builder") nice "$builder" setup.py -q sdist -d "$out" \
  2> >(grep -v "^warning: no previously-included files" >&2)
rm -rf vy_csdk.egg-info
declare -A abis
for python in "${interpreters[@]}"; do
  abi=$("$python" -c 'import sys, sysconfig; print("%d.%d %s" % (sys.version_info[:2] + (sysconfig.get_config_var("SOABI"),)))')
  "$python" -m pip --version >/dev/null 2>&1 || { echo "wheels.sh: $python has no pip" >&2; exit 1; }
  if [ -n "${abis[$abi]:-}" ]; then
    echo "== $python: its wheel is ${abis[$abi]}'s"
    continue
  fi
  abis[$abi]=$python
  echo "== vy-csdk for $python"
  wheel "$python" .
done

echo "== vy-csdk-standin and vy-csdk-host ($builder)"
wheel "$builder" distributions/standin
wheel "$builder" distributions/host
rm -rf vy_csdk.egg-info  # the module's metadata, which setuptools keeps beside setup.py

ls -1 "$out"/vy_csdk-*.whl "$out"/vy_csdk_standin-*.whl "$out"/vy_csdk_host-*.whl "$out"/vy[-_]csdk-*.tar.gz |
  sed 's/^/built: /'
