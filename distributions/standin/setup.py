"""vy-csdk-standin: the stand-in libvy3-c.so and the vystandin package that
controls it, the recording library with record.py and replay.py, for work
without the real library.  Interpreter-independent: built once, tagged
py3-none-manylinux_X_Y.  Nothing under vy/: with a host package's real
library beside the module, that library stays the one loaded.

    python3 -m pip wheel --no-index --no-build-isolation --no-deps -w dist distributions/standin
"""
import os
import sys

from setuptools import setup

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from build_support import BinaryDistribution, CMakeBuild, Install, ManylinuxWheel, build_options  # noqa: E402


class BuildStandIn(CMakeBuild):
    targets = ("vy3_standin", "vy3_recorder")
    component = "standin"


class StandInWheel(ManylinuxWheel):
    interpreter_independent = True


setup(
    name="vy-csdk-standin",
    version="0.1.0",
    description="The stand-in libvy3-c.so, its control package vystandin and the session recorder, "
                "for working on c_sdk without the real library",
    python_requires=">=3.8",
    packages=[],
    py_modules=[],
    entry_points={"pytest11": ["vystandin = vystandin.pytest_plugin"]},
    options=build_options("standin"),
    distclass=BinaryDistribution,
    cmdclass={"build_ext": BuildStandIn, "bdist_wheel": StandInWheel, "install": Install},
    zip_safe=False,
)
