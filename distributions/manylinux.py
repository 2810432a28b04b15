"""The manylinux platform tag a set of binaries earns, read from the binaries.

A wheel holding binaries is tagged manylinux_X_Y_<arch>: X.Y is the glibc of
the oldest manylinux policy (PEP 600) whose limits admit every symbol version
its binaries need from glibc, libstdc++ (GLIBCXX, CXXABI) and libgcc_s (GCC).
A binary that needs a library outside the policies' list, or a symbol version
no policy admits, is refused: a wheel tagged for hosts it cannot load on is
worse than none.

    python3 manylinux.py FILE...   prints the tag those binaries earn

Runs under every interpreter a wheel is built with (3.8 and later): the
standard library and binutils' readelf only.
"""
import os
import platform
import re
import subprocess
import sys

# ---- the manylinux policies --------------------------------------------------

# x86_64 policies, oldest first: the glibc version, and the newest GLIBCXX,
# CXXABI and GCC symbol versions each admits.  Taken from the published
# policy definitions (PEP 513, 571, 599, 600 and the auditing tool's policy
# table); glibc symbol versions are admitted up to the policy's own.
POLICIES = (
    ((2, 5), {"GLIBCXX": (3, 4, 8), "CXXABI": (1, 3, 1), "GCC": (4, 2, 0)}),
    ((2, 12), {"GLIBCXX": (3, 4, 13), "CXXABI": (1, 3, 3), "GCC": (4, 3, 0)}),
    ((2, 17), {"GLIBCXX": (3, 4, 19), "CXXABI": (1, 3, 7), "GCC": (4, 8, 0)}),
    ((2, 24), {"GLIBCXX": (3, 4, 22), "CXXABI": (1, 3, 10), "GCC": (4, 8, 0)}),
    ((2, 26), {"GLIBCXX": (3, 4, 22), "CXXABI": (1, 3, 10), "GCC": (4, 8, 0)}),
    ((2, 27), {"GLIBCXX": (3, 4, 24), "CXXABI": (1, 3, 11), "GCC": (7, 0, 0)}),
    ((2, 28), {"GLIBCXX": (3, 4, 24), "CXXABI": (1, 3, 11), "GCC": (7, 0, 0)}),
    ((2, 31), {"GLIBCXX": (3, 4, 28), "CXXABI": (1, 3, 12), "GCC": (7, 0, 0)}),
    ((2, 34), {"GLIBCXX": (3, 4, 29), "CXXABI": (1, 3, 13), "GCC": (7, 0, 0)}),
    ((2, 35), {"GLIBCXX": (3, 4, 30), "CXXABI": (1, 3, 13), "GCC": (12, 0, 0)}),
    ((2, 36), {"GLIBCXX": (3, 4, 30), "CXXABI": (1, 3, 13), "GCC": (12, 0, 0)}),
)
# The names the first three policies had before PEP 600; installers of that
# time know only these.
LEGACY_ALIASES = {(2, 5): "manylinux1", (2, 12): "manylinux2010", (2, 17): "manylinux2014"}
# Symbol versions that are names, not numbers, and the first policy that
# admits each; any other (GLIBC_PRIVATE) none does.
NAMED_VERSIONS = {"GLIBC_ABI_DT_RELR": (2, 36), "CXXABI_TM_1": (2, 17), "CXXABI_FLOAT128": (2, 24)}

# The libraries a binary may need: every policy's list, and two that later
# policies added (with the first that admits them).  The ELF loader itself is
# always there.
LIBRARIES = {
    "libc.so.6", "libm.so.6", "libdl.so.2", "librt.so.1", "libpthread.so.0", "libutil.so.1",
    "libnsl.so.1", "libresolv.so.2", "libanl.so.1", "libgcc_s.so.1", "libstdc++.so.6",
    "libatomic.so.1", "libz.so.1", "libX11.so.6", "libXext.so.6", "libXrender.so.1",
    "libICE.so.6", "libSM.so.6", "libGL.so.1", "libgobject-2.0.so.0", "libgthread-2.0.so.0",
    "libglib-2.0.so.0",
}
LATER_LIBRARIES = {"libexpat.so.1": (2, 12), "libmvec.so.1": (2, 24)}
LOADERS = re.compile(r"ld-linux[-\w.]*\.so\.\d+$")
# What the module links against and the host package provides beside it.
PROVIDED = {"libvy3-c.so"}


class PolicyError(Exception):
    pass


def is_elf(path):
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


def elf_files(tree):
    return sorted(os.path.join(d, f) for d, _, files in os.walk(tree) for f in files
                  if not os.path.islink(os.path.join(d, f)) and is_elf(os.path.join(d, f)))


def dynamic_needs(path):
    """-> (machine, NEEDED libraries, {(library, symbol version)}) of one binary."""
    out = subprocess.run(["readelf", "-h", "-d", "-V", "-W", path], check=True, capture_output=True,
                         text=True, env=dict(os.environ, LC_ALL="C")).stdout
    machine = re.search(r"^\s*Machine:\s*(.+?)\s*$", out, re.M).group(1)
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out)
    versions, library = set(), None
    needs = out.split("Version needs section", 1)
    for line in (needs[1].splitlines() if len(needs) > 1 else []):
        m = re.search(r"\bFile: (\S+)", line)
        if m:
            library = m.group(1)
            continue
        m = re.search(r"\bName: (\S+)", line)
        if m and library:
            versions.add((library, m.group(1)))
    return machine, needed, versions


def _version(text):
    return tuple(int(p) for p in text.split("."))


def oldest_policy(library, version):
    """The glibc of the oldest policy that admits one symbol version, or a
    PolicyError naming it."""
    if version in NAMED_VERSIONS:
        return NAMED_VERSIONS[version]
    m = re.fullmatch(r"(GLIBC|GLIBCXX|CXXABI|GCC)_(\d+(?:\.\d+)*)", version)
    if m:
        kind, number = m.group(1), _version(m.group(2))
        for glibc, limits in POLICIES:
            if (number <= glibc if kind == "GLIBC" else number <= limits[kind]):
                return glibc
    raise PolicyError("no manylinux policy admits %s of %s" % (version, library))


def platform_tag(paths):
    """The compressed platform tag for a set of binaries; 'any' for none."""
    if not paths:
        return "any"
    arch = platform.machine()
    if arch != "x86_64":
        raise PolicyError("no manylinux policy table here for %s" % arch)
    floor, problems = POLICIES[0][0], []
    for path in paths:
        machine, needed, versions = dynamic_needs(path)
        name = os.path.basename(path)
        if "X86-64" not in machine:
            problems.append("%s is built for %s" % (name, machine))
        for lib in needed:
            if lib in LATER_LIBRARIES:
                floor = max(floor, LATER_LIBRARIES[lib])
            elif not (lib in LIBRARIES or lib in PROVIDED or LOADERS.match(lib)):
                problems.append("%s needs %s, which no manylinux policy lets a wheel need" % (name, lib))
        for lib, version in sorted(versions):
            if lib in PROVIDED:
                continue
            try:
                floor = max(floor, oldest_policy(lib, version))
            except PolicyError as e:
                problems.append("%s: %s" % (name, e))
    if problems:
        raise PolicyError("; ".join(problems))
    tag = "manylinux_%d_%d_%s" % (floor + (arch,))
    if floor in LEGACY_ALIASES:
        tag += ".%s_%s" % (LEGACY_ALIASES[floor], arch)
    return tag


if __name__ == "__main__":
    try:
        print(platform_tag(sys.argv[1:]))
    except PolicyError as e:
        sys.exit("error: %s" % e)
