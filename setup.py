"""The media module for pip, made by the same CMake build and install rules as
`cmake --install`: the media_python target in Release, then the python component
(python/InstallModule.cmake) installed into a staging prefix, from which the module and
its type hints go into the wheel.

Extra CMake options (the hardware decoder names, say) come from CMAKE_ARGS."""
import os
import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent
# setuptools' default, build/, is the CMake tree the README and scripts/test.sh use. The
# CMake tree under it is kept, so a second install rebuilds only what changed.
BUILD_BASE = "build-python"


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    return re.search(r"project\(media\s+VERSION\s+([0-9.]+)", text).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        temp = Path(self.build_temp).resolve()
        tree = temp / "cmake"
        staging = temp / "staging"
        # The interpreter running pip is the one the module must load into (a venv's).
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(tree),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DBUILD_TESTING=OFF",
            # A shared libmedia would be left behind in the build tree.
            "-DBUILD_SHARED_LIBS=OFF",
            "-DMEDIA_PYTHON=ON", "-DMEDIA_SANITIZE=OFF", "-DMEDIA_TSAN=OFF",
            "-DMEDIA_PYTHON_EXECUTABLE=" + sys.executable,
        ] + shlex.split(os.environ.get("CMAKE_ARGS", ""))
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(configure, check=True)
        try:
            subprocess.run(["cmake", "--build", str(tree), "--target", "media_python",
                            "--parallel", jobs], check=True)
        except subprocess.CalledProcessError as error:
            raise RuntimeError("building media_python failed (it needs python3-dev and "
                               "pybind11-dev; CMake's output is above)") from error
        shutil.rmtree(staging, ignore_errors=True)
        subprocess.run(["cmake", "--install", str(tree), "--component", "python",
                        "--prefix", str(staging)], check=True)

        target = Path(self.get_ext_fullpath(ext.name))
        built = list(staging.rglob("media.cpython-*.so"))
        if [path.name for path in built] != [target.name]:
            raise RuntimeError(f"expected {target.name} from CMake, got {built}")
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[0], target)
        shutil.copyfile(built[0].with_name("media.pyi"), target.with_name("media.pyi"))


setup(
    version=project_version(),
    ext_modules=[Extension("media", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    packages=[],
    py_modules=[],
    zip_safe=False,
    options={"build": {"build_base": BUILD_BASE}, "egg_info": {"egg_base": BUILD_BASE}},
)
