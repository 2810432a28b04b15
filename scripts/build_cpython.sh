#!/usr/bin/env bash
# Builds CPython 3.13 from Debian 13's source package into a cache folder
# outside the tree, once, and prints the path of its interpreter:
#   scripts/build_cpython.sh NAME [configure options...]
# The build lands in ${XDG_CACHE_HOME:-~/.cache}/c_sdk/NAME; a stamp there
# records the options it was made with, so a later call with the same ones
# reuses it and a half-built or different one is built anew.
# Progress goes to stderr, the full log to NAME.log beside the build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
name=$1; shift
cache=${XDG_CACHE_HOME:-$HOME/.cache}/c_sdk
prefix=$cache/$name
source_dir=$cache/cpython-source
say() { echo "build_cpython: $*" >&2; }
mkdir -p "$cache"

# One build or download at a time (the test command and scripts/tsan.sh may
# run side by side and share the downloaded source).
exec 9>"$cache/.lock"
flock 9

# The extension modules nothing here uses and whose libraries a machine may or
# may not have: left out, so that every machine builds the same interpreter.
unused=(_tkinter=n/a _sqlite3=n/a _dbm=n/a _gdbm=n/a _curses=n/a _curses_panel=n/a readline=n/a)
options=(--prefix="$prefix" --without-ensurepip --disable-test-modules "$@")

# The Debian mirror the machine already uses: the URI (and keyring) of its first
# enabled entry for a release's main suite, from the deb822 .sources files or
# the one-line sources.list.
system_mirror() {
  /usr/bin/python3 - <<'EOF'
import glob, os, re
def stanzas():
    for path in sorted(glob.glob("/etc/apt/sources.list.d/*.sources")):
        fields, key = {}, None
        for line in open(path, encoding="utf-8", errors="replace").read().splitlines() + [""]:
            if line.startswith("#"):
                continue
            if not line.strip():
                if fields:
                    yield fields
                fields, key = {}, None
            elif line[0] in " \t" and key:
                fields[key] += "\n" + line.strip()
            elif ":" in line:
                key, value = line.split(":", 1)
                key = key.strip().lower()
                fields[key] = value.strip()
    for path in ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*.list")):
        if not os.path.exists(path):
            continue
        for line in open(path, encoding="utf-8", errors="replace"):
            line = line.split("#", 1)[0].strip()
            m = re.match(r"(deb(?:-src)?)\s+(?:\[([^\]]*)\]\s+)?(\S+)\s+(\S+)", line)
            if m:
                opts = dict(o.split("=", 1) for o in (m.group(2) or "").split() if "=" in o)
                yield {"types": m.group(1), "uris": m.group(3), "suites": m.group(4),
                       "signed-by": opts.get("signed-by", "")}
for s in stanzas():
    if s.get("enabled", "yes").lower() == "no" or not s.get("uris"):
        continue
    if not set(s.get("types", "").split()) & {"deb", "deb-src"}:
        continue
    # A release's own suite (bookworm, stable), not -security or -updates.
    if not any("-" not in suite and "/" not in suite for suite in s.get("suites", "").split()):
        continue
    keyring = s.get("signed-by", "")
    print(s["uris"].split()[0], keyring if keyring.startswith("/") else "")
    break
EOF
}

# Debian 13's python3.13 source package, fetched through a private apt
# configuration (its own sources list, lists and cache under the cache folder):
# the machine's apt configuration is left as it is.
fetch_source() {
  local tarball
  tarball=$(ls "$source_dir"/python3.13_3.13.*.orig.tar.xz 2>/dev/null | sort -V | tail -n1 || true)
  if [ -n "$tarball" ]; then echo "$tarball"; return; fi
  local mirror keyring
  read -r mirror keyring < <(system_mirror) || true
  if [ -z "${mirror:-}" ]; then
    say "no Debian mirror found in /etc/apt/sources.list or /etc/apt/sources.list.d/"
    return 1
  fi
  local apt=$source_dir/apt download=$source_dir/download
  rm -rf "$apt" "$download"
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$download"
  echo "deb-src ${keyring:+[signed-by=$keyring] }$mirror trixie main" >"$apt/sources.list"
  local aptopts=(-q -o Dir::Etc::sourcelist="$apt/sources.list" -o Dir::Etc::sourceparts=-
                 -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache"
                 -o APT::Sandbox::User="$(id -un)" -o Acquire::Retries=2)
  say "fetching Debian 13's python3.13 source package from $mirror"
  # Called where a failure does not stop the script: each step checked.
  apt-get "${aptopts[@]}" --error-on=any update >&2 || return 1
  (cd "$download" && apt-get "${aptopts[@]}" source --download-only python3.13 >&2) || return 1
  tarball=$(ls "$download"/python3.13_3.13.*.orig.tar.xz 2>/dev/null | sort -V | tail -n1)
  [ -n "$tarball" ] || return 1
  mv "$tarball" "$source_dir/" || return 1
  rm -rf "$apt" "$download"
  echo "$source_dir/$(basename "$tarball")"
}

# The installed interpreter: python3.13t, or python3.13td for a debug build.
interpreter() {
  local python
  for python in "$prefix"/bin/python3.13t "$prefix"/bin/python3.13td; do
    if [ -x "$python" ]; then echo "$python"; return; fi
  done
}

stamp=$prefix/.c_sdk-build
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "${options[*]}" ] && [ -n "$(interpreter)" ]; then
  interpreter
  exit 0
fi
"$root/scripts/deps.sh" --cpython >&2
if ! tarball=$(fetch_source); then
  say "the source of CPython 3.13 could not be fetched"
  exit 1
fi
rm -rf "$prefix" "$prefix.build"
mkdir -p "$prefix.build"
log=$prefix.log
say "building CPython from $(basename "$tarball") (${*:-default options}) into $prefix; log: $log"
started=$SECONDS
# The upstream tree of the source package, without Debian's patches: those fit
# Debian's own layout under /usr (their install schemes name python3.13, not
# python3.13t, under any other prefix).
build() {
  cd "$prefix.build" &&
  tar -xf "$tarball" --strip-components=1 &&
  # A sanitizer build runs its own interpreter while it builds: with CPython's
  # suppressions, so that only a real report stops it.
  export TSAN_OPTIONS="suppressions=$PWD/Tools/tsan/suppressions_free_threading.txt" &&
  env "${unused[@]/#/py_cv_module_}" nice ./configure -q "${options[@]}" &&
  nice make -j2 &&
  make altinstall &&
  # The sanitizer suppressions CPython keeps for its own runs.
  mkdir -p "$prefix/share/tsan" &&
  cp Tools/tsan/*.txt "$prefix/share/tsan/"
}
if ! (build) >"$log" 2>&1; then
  tail -n 30 "$log" >&2
  say "the build failed; full log: $log"
  exit 1
fi
rm -rf "$prefix.build"
echo "${options[*]}" >"$stamp"
say "built $(interpreter) in $((SECONDS - started)) s"
interpreter
