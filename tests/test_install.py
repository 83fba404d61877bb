"""The version, and `pip install` of a fresh clone into a new virtual environment.

The install builds the packages from scratch (a minute or two), so it runs
where CI=true or INSTALL_TEST=1 is set.  No network is used: the build
backend lives in the tree and needs nothing installed.
"""
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent

needs_full_build = pytest.mark.skipif(
    os.environ.get("CI") != "true" and os.environ.get("INSTALL_TEST") != "1",
    reason="slow (a full build): runs where CI=true or INSTALL_TEST=1")

# Run from a folder outside the source tree: the packages must come from the
# environment's site-packages, and prove there.
USE = textwrap.dedent("""
    import pathlib, sys
    import config, core, constructive, prover, sol
    from core.ast import Implies, Or, Not, PredicateApp
    from constructive.ljt import prove_ljt
    from constructive.tableau import prove_tableau
    from constructive.resolution import prove_resolution
    from prover.engine import TheoremProver

    p, q = PredicateApp("p", 0, ()), PredicateApp("q", 0, ())
    assert prove_ljt(Implies(p, Implies(q, p))) is not None
    assert not prove_tableau(Or(p, Not(p))).is_valid
    assert prove_resolution(Implies(p, p)).is_valid
    TheoremProver().prove(Implies(p, p))
    site = pathlib.Path(sys.prefix).resolve()
    for package in (config, core, constructive, prover, sol):
        assert site in pathlib.Path(package.__file__).resolve().parents, package.__file__
    print(core.__version__, constructive.__version__, prover.__version__, sol.__version__)
""")


def fresh_clone(target):
    """The committed tree as a new clone, else (no git checkout) a copy without build folders."""
    head = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "HEAD"], capture_output=True, text=True)
    if head.returncode == 0:
        subprocess.run(["git", "clone", "--quiet", "--no-checkout", str(ROOT), str(target)], check=True)
        subprocess.run(["git", "-C", str(target), "checkout", "--quiet", head.stdout.strip()], check=True)
    else:
        shutil.copytree(ROOT, target, ignore=shutil.ignore_patterns("build", "build-*", ".git", "__pycache__"))


def test_packages_carry_the_version():
    import constructive, core, prover, sol
    version = (ROOT / "VERSION").read_text().strip()
    assert [m.__version__ for m in (core, constructive, prover, sol)] == [version] * 4
    assert version.count(".") == 2 and all(part.isdigit() for part in version.split("."))


@needs_full_build
def test_pip_install_of_a_fresh_clone_proves_from_outside_the_tree(tmp_path):
    source = tmp_path / "clone"
    fresh_clone(source)
    env_dir = tmp_path / "env"
    subprocess.run([sys.executable, "-m", "venv", str(env_dir)], check=True)
    python = env_dir / "bin" / "python"
    build_env = dict(os.environ, PIP_NO_INDEX="1")
    build_env.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
    build_env.pop("PYTHONPATH", None)
    install = subprocess.run([str(python), "-m", "pip", "install", "--quiet", "--no-build-isolation", str(source)],
                             env=build_env, capture_output=True, text=True, timeout=900)
    assert install.returncode == 0, install.stdout[-4000:] + install.stderr[-4000:]
    shutil.rmtree(source)  # nothing may refer back to the source or its build folder
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    run = subprocess.run([str(python), "-c", USE], cwd=elsewhere, env=build_env, capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr
    version = (ROOT / "VERSION").read_text().strip()
    assert run.stdout.split() == [version] * 4
    site = next(env_dir.glob("lib/python*/site-packages"))
    for module in site.rglob("*.so"):
        if "pip" not in module.parts:
            assert all(entry.startswith("$ORIGIN") for entry in run_path(module)), module


def run_path(module):
    """The RUNPATH (or RPATH) entries of a shared object, as readelf shows them."""
    if shutil.which("readelf") is None:
        pytest.skip("readelf is not installed")
    dynamic = subprocess.run(["readelf", "-d", str(module)], capture_output=True, text=True, check=True).stdout
    for line in dynamic.splitlines():
        if "(RUNPATH)" in line or "(RPATH)" in line:
            return line.split("[", 1)[1].rstrip("]").split(":")
    return []
