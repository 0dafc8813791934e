"""Builds the tarncl package with CMake: the extension and the library it loads, side by side.

TARNCL_BUILD_DIR names the CMake build directory to use (default build/pip in this tree); an
existing configured one is reused, so that a second install builds nothing new.
"""
import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent
BUILD = pathlib.Path(os.environ.get("TARNCL_BUILD_DIR", ROOT / "build" / "pip")).resolve()
BUILD.mkdir(parents=True, exist_ok=True)


def version():
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    return re.search(r"project\(TarnCL VERSION ([0-9.]+)", text).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        print(f"tarncl: building for {sys.executable} (Python {sys.version.split()[0]})")
        if not (BUILD / "CMakeCache.txt").exists():
            subprocess.check_call(["cmake", "-S", str(ROOT), "-B", str(BUILD),
                                   "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF",
                                   "-DTARN_BENCH=OFF", f"-DPython3_EXECUTABLE={sys.executable}"])
        subprocess.check_call(["cmake", "--build", str(BUILD), "--target", "tarncl_python",
                               "-j", str(os.cpu_count() or 1)])
        built = BUILD / "python" / "tarncl"
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        module = next(built.glob("_tarncl.*.so"))
        shutil.copyfile(module, target)
        # The library beside the module, found there through the module's $ORIGIN run path.
        for lib in built.glob("libtarncl.so.*"):
            shutil.copyfile(lib, target.parent / lib.name)  # follows the build tree's link


setup(
    version=version(),
    packages=["tarncl"],
    package_dir={"": "python"},
    package_data={"tarncl": ["__init__.pyi", "py.typed", "libtarncl.so.*"]},
    ext_modules=[Extension("tarncl._tarncl", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    # setuptools' own scratch space goes under the build directory, not into the sources.
    options={"build": {"build_base": str(BUILD / "setuptools")},
             "egg_info": {"egg_base": str(BUILD)}},
    zip_safe=False,
)
