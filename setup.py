"""Builds the extension and the command through the project's one CMake build and installs them
with the stubs."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from distutils.command.build_scripts import build_scripts  # setuptools provides it

ROOT = Path(__file__).resolve().parent
# setuptools' own build tree and the egg-info stay out of CMake's build/ and of src/, in a
# directory of their own; egg_info wants it to exist already.
BUILD = ROOT / "build-py"
BUILD.mkdir(exist_ok=True)


def cmake_tree(build_temp):
    """The CMake build tree, configured: MORVEL_CMAKE_BUILD_DIR reuses one (scripts/setup passes
    its own) instead of compiling the core a second time."""
    build_dir = Path(os.environ.get("MORVEL_CMAKE_BUILD_DIR") or Path(build_temp) / "cmake")
    if not (build_dir / "CMakeCache.txt").exists():
        subprocess.run(
            ["cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
             "-DCMAKE_BUILD_TYPE=Release", "-DMORVEL_BUILD_TESTS=OFF",
             f"-DPython3_EXECUTABLE={sys.executable}"],
            check=True)
    return build_dir


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = cmake_tree(self.build_temp)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "morvel",
                        "morvel_command"], check=True)
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(build_dir / "morvel.abi3.so", target)
        # The stub beside the module serves editors; the stub package serves type checkers that
        # only look for PEP 561 packages.
        stub = ROOT / "python" / "morvel.pyi"
        shutil.copyfile(stub, target.parent / "morvel.pyi")
        (target.parent / "morvel-stubs").mkdir(exist_ok=True)
        shutil.copyfile(stub, target.parent / "morvel-stubs" / "__init__.pyi")
        # The marker that the package's types are complete (a module cannot carry one itself).
        shutil.copyfile(ROOT / "python" / "py.typed", target.parent / "morvel-stubs" / "py.typed")


class CommandBuild(build_scripts):
    """Puts the native command where the install takes scripts from. It is a program, not a
    script: the usual copying would read it as text to rewrite its first line."""

    def run(self):
        self.run_command("build_ext")
        build_dir = cmake_tree(self.get_finalized_command("build_ext").build_temp)
        Path(self.build_dir).mkdir(parents=True, exist_ok=True)
        shutil.copy2(build_dir / "morvel", Path(self.build_dir) / "morvel")


setup(
    ext_modules=[Extension("morvel", sources=[], py_limited_api=True)],
    # The optional cluster module, pure Python; only it imports Dask.
    py_modules=["morvel_dask"],
    package_dir={"": "python"},
    # Named so that the install has a script to place; CommandBuild makes it.
    scripts=["morvel"],
    cmdclass={"build_ext": CMakeBuild, "build_scripts": CommandBuild},
    options={"build": {"build_base": str(BUILD)}, "egg_info": {"egg_base": str(BUILD)},
             "bdist_wheel": {"py_limited_api": "cp311"}},
)
