"""vy-csdk-host: the minimal host pieces the module imports (vy/__init__.py,
vy/constant.py, vy/utils.py, vy/csdk/__init__.py), for trying the module
without the host package.  Never install it beside the real host package:
it would overwrite the host's own files.

    python3 -m pip wheel --no-index --no-build-isolation --no-deps -w dist distributions/host
"""
import os
import sys

from setuptools import setup

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from build_support import BinaryDistribution, Install, ManylinuxWheel, build_options  # noqa: E402


class HostWheel(ManylinuxWheel):
    interpreter_independent = True


setup(
    name="vy-csdk-host",
    version="0.1.0",
    description="Minimal vy host package pieces for trying c_sdk without the host package "
                "(never beside the real one)",
    python_requires=">=3.8",
    # The packages' Python files only: src/vy holds nothing else of Python.
    packages=["vy", "vy.csdk"],
    package_dir={"": os.path.relpath(os.path.join(HERE, "..", "..", "src"))},
    options=build_options("host"),
    distclass=BinaryDistribution,
    cmdclass={"bdist_wheel": HostWheel, "install": Install},
    zip_safe=False,
)
