#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail
packages=(cmake g++ make python3-dev python3-pytest python3-hypothesis python3-exceptiongroup python3-tomli
          python3.11-dbg libgtest-dev python3-pip python3-setuptools python3-wheel python3-venv python3-mypy git ccache
          nlohmann-json3-dev clang-14 libfuzzer-14-dev python3-matplotlib)
[ "${1:-}" = "--main-job" ] && packages=(cmake g++ make python3-dev ccache nlohmann-json3-dev)
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
