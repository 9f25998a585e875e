"""Builds the extension kestrel._kestrel with CMake (python/CMakeLists.txt as
the top-level project, the library embedded static) and packages it.

In the repository the library's sources are the folder above this one; an
sdist carries a copy of them in kestrel-src/.
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.sdist import sdist

HERE = Path(__file__).resolve().parent
BUNDLED = HERE / "kestrel-src"
LIBRARY_PARTS = ("CMakeLists.txt", "cmake", "include", "src")


def library_sources():
    return BUNDLED if (BUNDLED / "CMakeLists.txt").is_file() else HERE.parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        import pybind11

        build = Path(self.build_temp).resolve() / "cmake"
        configure = [
            "cmake", "-S", str(HERE), "-B", str(build),
            f"-DCMAKE_BUILD_TYPE={'Debug' if self.debug else 'Release'}",
            f"-DPython_EXECUTABLE={sys.executable}",
            f"-DKESTREL_SOURCE_DIR={library_sources()}",
            f"-Dpybind11_DIR={pybind11.get_cmake_dir()}",
        ]
        if not (build / "CMakeCache.txt").exists() and shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 2)
        subprocess.run(["cmake", "--build", str(build), "--target", "kestrel_python",
                        "--parallel", jobs], check=True)
        built = next(build.glob("_kestrel*"))
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


class SdistWithLibrary(sdist):
    """An sdist that builds alone: it carries the library's sources."""

    def make_release_tree(self, base_dir, files):
        super().make_release_tree(base_dir, files)
        source = library_sources()
        for part in LIBRARY_PARTS:
            origin, copy = source / part, Path(base_dir) / "kestrel-src" / part
            if origin.is_dir():
                shutil.copytree(origin, copy)
            else:
                copy.parent.mkdir(parents=True, exist_ok=True)
                shutil.copy2(origin, copy)


setup(
    ext_modules=[Extension("kestrel._kestrel", sources=[])],
    cmdclass={"build_ext": CMakeBuild, "sdist": SdistWithLibrary},
)
