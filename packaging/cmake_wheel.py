"""The build backend of `pip install .`: runs the project's CMake build and
writes the wheel with zipfile.

Pure Python and without dependencies, so a pip without network access builds
the wheel with or without build isolation.  The wheel holds the built
packages (core, constructive, prover, sol), the config module and the engine
library beside them, as the build folder lays them out: each extension finds
the library through its $ORIGIN-relative RPATH.  The version is read from the
VERSION file, which CMake reads too.

Environment: CMAKE_BUILD_PARALLEL_LEVEL caps the compile jobs; CMAKE_ARGS
adds configure options.
"""

import base64
import hashlib
import os
import pathlib
import shlex
import shutil
import subprocess
import sys
import sysconfig
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
NAME = "intuitionistic_prover"
SUMMARY = "Intuitionistic and first-order theorem proving: a C++20 engine with a Python face"
PACKAGES = ("core", "constructive", "prover", "sol")
TOP_LEVEL_MODULES = ("config",)
LIBRARY = "libprover_engine.so"


def version():
    return (ROOT / "VERSION").read_text(encoding="utf-8").strip()


def wheel_tag():
    interpreter = f"cp{sys.version_info.major}{sys.version_info.minor}"
    abi = interpreter + getattr(sys, "abiflags", "")
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"{interpreter}-{abi}-{platform}"


def metadata_text():
    return (f"Metadata-Version: 2.1\nName: {NAME.replace('_', '-')}\nVersion: {version()}\n"
            f"Summary: {SUMMARY}\nRequires-Python: >=3.11\n")


def wheel_text():
    return f"Wheel-Version: 1.0\nGenerator: cmake_wheel\nRoot-Is-Purelib: false\nTag: {wheel_tag()}\n"


def run(command):
    # The build log goes to stderr, which pip shows when the build fails or with -v.
    print("+", shlex.join(command), file=sys.stderr, flush=True)
    subprocess.run(command, check=True, stdout=sys.stderr)


def cmake_build(build_dir):
    # The wheel keeps the build folder's layout, whose run paths are all
    # $ORIGIN-relative (see CMakeLists.txt).
    configure = ["cmake", "-S", str(ROOT), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
                 f"-DPython_EXECUTABLE={sys.executable}"]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    configure += shlex.split(os.environ.get("CMAKE_ARGS", ""))
    run(configure)
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
    run(["cmake", "--build", str(build_dir), "--target", "python_modules", "-j", jobs])


def built_files(python_dir):
    """(path in the wheel, file) for every file the wheel installs."""
    files = [(LIBRARY, python_dir / LIBRARY)]
    for module in TOP_LEVEL_MODULES:
        files += [(f.name, f) for f in sorted(python_dir.glob(module + ".*.so"))]
    for package in PACKAGES:
        for f in sorted((python_dir / package).rglob("*")):
            if f.is_file() and (f.suffix in (".so", ".py")):
                files.append((f.relative_to(python_dir).as_posix(), f))
    return files


def record_line(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{path},sha256={digest},{len(data)}"


def write_wheel(wheel_directory, files):
    dist_info = f"{NAME}-{version()}.dist-info"
    wheel_name = f"{NAME}-{version()}-{wheel_tag()}.whl"
    records = []
    with zipfile.ZipFile(pathlib.Path(wheel_directory) / wheel_name, "w", zipfile.ZIP_DEFLATED) as wheel:
        def add(path, data, mode=0o644):
            info = zipfile.ZipInfo(path, date_time=(1980, 1, 1, 0, 0, 0))
            info.external_attr = (0o100000 | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)
            records.append(record_line(path, data))

        for path, source in files:
            add(path, source.read_bytes(), 0o755 if source.suffix == ".so" else 0o644)
        add(f"{dist_info}/METADATA", metadata_text().encode())
        add(f"{dist_info}/WHEEL", wheel_text().encode())
        add(f"{dist_info}/top_level.txt", "\n".join(PACKAGES + TOP_LEVEL_MODULES).encode() + b"\n")
        record = f"{dist_info}/RECORD"
        wheel.writestr(record, "\n".join(records + [f"{record},,"]) + "\n")
    return wheel_name


# ---------------------------------------------------------------------------
# The build backend hooks
# ---------------------------------------------------------------------------
def get_requires_for_build_wheel(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    tag = f"cp{sys.version_info.major}{sys.version_info.minor}"
    build_dir = ROOT / "build" / f"wheel-{tag}"
    cmake_build(build_dir)
    return write_wheel(wheel_directory, built_files(build_dir / "python"))
