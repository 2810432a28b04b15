"""What the three setup scripts share: the CMake build and install of one
component into the wheel's build tree, and the wheel's tags.

A wheel holding binaries is tagged manylinux_X_Y_<arch>: X.Y is the glibc of
the oldest manylinux policy (PEP 600) whose limits admit every symbol version
its binaries need from glibc, libstdc++ (GLIBCXX, CXXABI) and libgcc_s (GCC).
A binary that needs a library outside the policies' list, or a symbol version
no policy admits, stops the build: a wheel tagged for hosts it cannot load on
is worse than none.

    python3 build_support.py FILE...   prints the tag those binaries earn

Runs under every interpreter a wheel is built with (3.8 and later), so it uses
the standard library and binutils' readelf only.
"""
import hashlib
import os
import platform
import re
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Distribution
from setuptools.command.build_ext import build_ext
from setuptools.command.install import install

try:  # setuptools 70.1 and later carry it; before, the wheel package does
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:
    from wheel.bdist_wheel import bdist_wheel

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

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


# ---- setuptools commands -------------------------------------------------------


def build_options(name):
    """setup() options that keep a distribution's build files and metadata
    under the project's build/, out of the source folders."""
    base = os.path.join(ROOT, "build", "dist-" + name)
    os.makedirs(base, exist_ok=True)
    return {"build": {"build_base": base}, "egg_info": {"egg_base": base}}


class BinaryDistribution(Distribution):
    """A distribution whose files go to platlib, the same folder as the
    module's, even when it holds no binary: so `vy/` never ends up split
    between purelib and platlib."""

    def has_ext_modules(self):
        return True


class CMakeBuild(build_ext):
    """Replaces the compiler step: one CMake build of `targets` for the
    interpreter running setup.py, whose `component` is installed into
    build_lib, from where the wheel takes every file."""

    targets = ()
    component = None

    def run(self):
        if not self.component:
            return
        # One build folder per interpreter: two interpreters of one version
        # share build_temp, not their CMake caches.
        key = hashlib.sha1(os.path.realpath(sys.executable).encode()).hexdigest()[:8]
        build_dir = os.path.abspath(os.path.join(self.build_temp, "cmake-" + key))
        configure = ["cmake", "-S", ROOT, "-B", build_dir, "-DPython_EXECUTABLE=" + sys.executable,
                     "-DCSDK_TESTS=OFF", "-DCMAKE_BUILD_TYPE=Release"]
        env = dict(os.environ)
        if shutil.which("ccache"):
            # The libraries compile the same for every interpreter: a cache,
            # with paths taken relative to the tree, shares them between the
            # interpreters' builds and between unpacked copies of the tree.
            configure += ["-DCMAKE_C_COMPILER_LAUNCHER=ccache", "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"]
            env.setdefault("CCACHE_BASEDIR", ROOT)
        build = ["cmake", "--build", build_dir, "--target"] + list(self.targets)
        if "CMAKE_BUILD_PARALLEL_LEVEL" not in env:
            build += ["-j", str(os.cpu_count() or 1)]
        for cmd in (configure, build):
            subprocess.run(cmd, check=True, env=env)
        # Only this build's install reaches the wheel, nothing an earlier one left.
        shutil.rmtree(self.build_lib, ignore_errors=True)
        subprocess.run(["cmake", "--install", build_dir, "--prefix", os.path.abspath(self.build_lib),
                        "--component", self.component, "--strip"], check=True, env=env)

    def get_outputs(self):
        return []


class ManylinuxWheel(bdist_wheel):
    """Tags the wheel with the policy its binaries fit (py3-none when
    `interpreter_independent`), read after the build."""

    interpreter_independent = False

    def run(self):
        self.run_command("build")
        try:
            self.platform_tags = platform_tag(elf_files(self.get_finalized_command("build").build_lib))
        except PolicyError as e:
            sys.exit("error: the wheel fits no manylinux policy: %s" % e)
        super().run()

    def get_tag(self):
        if self.interpreter_independent:
            return "py3", "none", self.platform_tags
        # The module is CPython's, for this interpreter's ABI: cpython-313t-...
        # gives cp313t (free-threaded), as the extension suffix has it.
        abi = "cp" + sysconfig.get_config_var("SOABI").split("-")[1]
        return "cp%d%d" % sys.version_info[:2], abi, self.platform_tags


class Install(install):
    """Debian's setuptools reads two options that only Debian's own distutils
    defines; another interpreter building with it (on PYTHONPATH) gets them
    here, unset, as Debian's default has them."""

    def initialize_options(self):
        super().initialize_options()
        for option in ("install_layout", "prefix_option"):
            if not hasattr(self, option):
                setattr(self, option, None)


if __name__ == "__main__":
    try:
        print(platform_tag(sys.argv[1:]))
    except PolicyError as e:
        sys.exit("error: %s" % e)
