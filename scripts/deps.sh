#!/usr/bin/env bash
# Installs what the build and the tests need, when missing: Debian packages,
# and pyright (the shipping checks' second type checker) from the npm
# registry into build/tools/pyright.
#   scripts/deps.sh [--main-job | --cpython]   (only what the demo needs; what building CPython needs)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
packages=(cmake g++ make python3-dev python3-pytest python3-hypothesis python3-exceptiongroup python3-tomli
          python3.11-dbg libgtest-dev python3-pip python3-setuptools python3-wheel python3-venv python3-mypy git ccache
          nlohmann-json3-dev clang-14 libfuzzer-14-dev python3-matplotlib)
main_job=""
[ "${1:-}" = "--main-job" ] && main_job=1 && packages=(cmake g++ make python3-dev ccache nlohmann-json3-dev)
# What building CPython from source needs (scripts/build_cpython.sh): the
# libraries behind ctypes, zlib, bz2, lzma and ssl, and python3 to read the
# machine's apt sources.
[ "${1:-}" = "--cpython" ] && main_job=1 && packages=(gcc make pkg-config xz-utils python3 libffi-dev zlib1g-dev
                                                      libbz2-dev liblzma-dev libssl-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
# Node and npm, from whichever package provides them here.
[ -z "$main_job" ] && ! command -v npm >/dev/null && missing+=(nodejs npm)
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
[ -n "$main_job" ] && exit 0

pyright_version=1.1.414
tools=$root/build/tools/pyright
if [ "$("$tools/node_modules/.bin/pyright" --version 2>/dev/null)" != "pyright $pyright_version" ]; then
  echo "installing: pyright $pyright_version (npm)"
  npm install --prefix "$tools" --no-audit --no-fund --loglevel=error "pyright@$pyright_version" >/dev/null
fi
