"""vy-csdk: the extension module for a host package, one wheel per
interpreter.  CMake builds the module for the interpreter running this build
and installs its `module` component: vy/csdk/c_sdk.<suffix>, its stubs and
the typing marker, nothing else under vy/ and no library (the host package
ships the real one beside the module).

    python3 -m pip wheel --no-index --no-build-isolation --no-deps -w dist .

The stand-in and the host pieces are distributions of their own
(distributions/standin, distributions/host); scripts/wheels.sh builds all
three and the source distribution.
"""
import os
import sys

from setuptools import setup

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "distributions"))
from build_support import BinaryDistribution, CMakeBuild, Install, ManylinuxWheel  # noqa: E402


class BuildModule(CMakeBuild):
    targets = ("c_sdk", "c_sdk_stubs")
    component = "module"


setup(
    name="vy-csdk",
    version="0.1.0",
    description="c_sdk: the CPython extension module binding libvy3-c.so for the vy host package",
    python_requires=">=3.8",
    # Everything comes from the CMake install; setuptools discovers nothing.
    packages=[],
    py_modules=[],
    distclass=BinaryDistribution,
    cmdclass={"build_ext": BuildModule, "bdist_wheel": ManylinuxWheel, "install": Install},
    zip_safe=False,
)
