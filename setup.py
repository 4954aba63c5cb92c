"""Builds kelpo's extension module with the project's own CMake build, so the
installed module is compiled exactly as the one the tests run against.

The CMake build directory is build/python-<interpreter tag> in the checkout
(kept between runs, so a rebuild is incremental), or $KELPO_BUILD_DIR when set
(scripts/test.sh points it at the release build it has just made).
"""

import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = Path(os.environ.get("KELPO_BUILD_DIR") or ROOT / "build" / f"python-{sys.implementation.cache_tag}")
        configure = ["cmake", "-S", str(ROOT), "-B", str(build_dir), f"-DKELPO_PYTHON={sys.executable}"]
        if not (build_dir / "CMakeCache.txt").exists():
            configure += ["-DCMAKE_BUILD_TYPE=Release", "-DKELPO_BUILD_TESTS=OFF", "-DKELPO_BUILD_BENCH=OFF"]
        subprocess.run(configure, check=True)
        jobs = str(os.cpu_count() or 1)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "_kelpo", "-j", jobs], check=True)

        built = build_dir / "python" / "kelpo" / ("_kelpo" + sysconfig.get_config_var("EXT_SUFFIX"))
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(ext_modules=[CMakeExtension("kelpo._kelpo")], cmdclass={"build_ext": CMakeBuild})
