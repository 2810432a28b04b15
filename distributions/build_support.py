"""What the three setup scripts share: the CMake build and install of one
component into the wheel's build tree, and the wheel's tags (the platform tag
from manylinux.py: a binary outside the policies stops the build).
"""
import hashlib
import os
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

from manylinux import PolicyError, elf_files, platform_tag

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

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
        if shutil.which("ccache"):
            # As scripts/build.sh: the libraries compile the same for every
            # interpreter, and a tree's builds share them through the cache.
            configure += ["-DCMAKE_C_COMPILER_LAUNCHER=ccache", "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"]
        build = ["cmake", "--build", build_dir, "--target"] + list(self.targets)
        if "CMAKE_BUILD_PARALLEL_LEVEL" not in os.environ:
            build += ["-j", str(os.cpu_count() or 1)]
        for cmd in (configure, build):
            subprocess.run(cmd, check=True)
        # Only this build's install reaches the wheel, nothing an earlier one left.
        shutil.rmtree(self.build_lib, ignore_errors=True)
        subprocess.run(["cmake", "--install", build_dir, "--prefix", os.path.abspath(self.build_lib),
                        "--component", self.component, "--strip"], check=True)

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
    here, unset, as Debian's default has them.  The standard library's older
    distutils picks platlib by the ext_modules list, not has_ext_modules():
    every distribution here goes to platlib whichever decides."""

    def initialize_options(self):
        super().initialize_options()
        for option in ("install_layout", "prefix_option"):
            if not hasattr(self, option):
                setattr(self, option, None)

    def finalize_options(self):
        super().finalize_options()
        if self.distribution.has_ext_modules():
            self.install_lib = self.install_platlib
