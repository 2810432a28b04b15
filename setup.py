"""Wheel build: CMake configures, builds and installs the module (component
`module`) and the stand-in with the host pieces (component `standin`) for the
interpreter running this build; setuptools packages what was installed.

    python3 -m pip wheel --no-build-isolation --no-deps -w dist .
"""
import os
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.install import install

ROOT = os.path.dirname(os.path.abspath(__file__))


class CMakeBuild(build_ext):
    """Replaces the compiler step: one CMake build installed into build_lib,
    from where the wheel takes every file."""

    def run(self):
        build_dir = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        prefix = os.path.abspath(self.build_lib)
        configure = ["cmake", "-S", ROOT, "-B", build_dir, "-DPython_EXECUTABLE=" + sys.executable,
                     "-DCSDK_TESTS=OFF"]
        # Only what the two components install: no test builds.
        build = ["cmake", "--build", build_dir, "--target", "c_sdk", "vy3_standin", "c_sdk_stubs"]
        if "CMAKE_BUILD_PARALLEL_LEVEL" not in os.environ:
            build += ["-j", str(os.cpu_count() or 1)]
        self.spawn(configure)
        self.spawn(build)
        for component in ("module", "standin"):
            self.spawn(["cmake", "--install", build_dir, "--prefix", prefix, "--component", component, "--strip"])

    def get_outputs(self):
        return []


class Install(install):
    """Debian's setuptools reads two options that only Debian's own distutils
    defines; another interpreter building with it (on PYTHONPATH) gets them
    here, unset, as Debian's default has them."""

    def initialize_options(self):
        super().initialize_options()
        for option in ("install_layout", "prefix_option"):
            if not hasattr(self, option):
                setattr(self, option, None)


setup(
    name="vy-csdk",
    version="0.1.0",
    description="c_sdk: the CPython extension module binding libvy3-c.so for the vy host package",
    python_requires=">=3.8",
    # Everything comes from the CMake install; setuptools discovers nothing.
    packages=[],
    py_modules=[],
    # Marks the wheel as platform specific; CMakeBuild builds it.
    ext_modules=[Extension("vy.csdk.c_sdk", sources=[])],
    cmdclass={"build_ext": CMakeBuild, "install": Install},
    zip_safe=False,
)
