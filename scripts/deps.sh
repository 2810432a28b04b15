#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail
packages=(cmake g++ make python3-dev python3-pytest python3-hypothesis python3-exceptiongroup python3-tomli
          python3.11-dbg libgtest-dev python3-pip python3-setuptools python3-wheel python3-venv python3-mypy git ccache)
[ "${1:-}" = "--main-job" ] && packages=(cmake g++ make python3-dev ccache)
# What building CPython from source needs (scripts/build_cpython.sh): the
# libraries behind ctypes, zlib, bz2, lzma and ssl, and python3 to read the
# machine's apt sources.
[ "${1:-}" = "--cpython" ] && packages=(gcc make pkg-config xz-utils python3 libffi-dev zlib1g-dev
                                        libbz2-dev liblzma-dev libssl-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
