"""What the sdist and the wheel built from it carry, and that the sdist installs and works."""
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile

import pytest

pytest.importorskip("build")
pytestmark = pytest.mark.slow

ROOT = pathlib.Path(__file__).resolve().parents[1]
PACKAGE = ROOT / "src" / "orbitra"
VERSION = re.search(r'(?m)^__version__ = "([^"]+)"$', (PACKAGE / "__init__.py").read_text())[1]
PACKAGE_FILES = {"orbitra/__init__.py", "orbitra/__main__.py", "orbitra/examples.py", "orbitra/body.pyi",
                 "orbitra/py.typed"}


def run(args, cwd, timeout=900):
    res = subprocess.run([str(a) for a in args], cwd=str(cwd), stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, universal_newlines=True, timeout=timeout)
    assert res.returncode == 0, res.stdout[-6000:]
    return res.stdout


def tracked_files():
    if shutil.which("git") is None or not (ROOT / ".git").exists():
        pytest.skip("needs the git clone")
    return set(run(["git", "ls-files"], cwd=ROOT).splitlines())


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    # What a working copy gathers and git does not track: neither may ship.
    stray = [PACKAGE / "notes.txt", PACKAGE / "__pycache__" / "stray.cpython-311.pyc"]
    made = [path for path in stray if not path.exists()]
    for path in made:
        path.parent.mkdir(exist_ok=True)
        path.write_text("not part of the package\n")
    # Both straight from the working copy, as `pip install .` builds; the sdist install
    # test proves the sdist complete enough to compile.
    out = tmp_path_factory.mktemp("dist")
    try:
        run([sys.executable, "-m", "build", "--sdist", "--wheel", "--outdir", out, ROOT], cwd=out)
    finally:
        for path in made:
            path.unlink()
        if not any((PACKAGE / "__pycache__").iterdir()):
            (PACKAGE / "__pycache__").rmdir()
    (sdist,), (wheel,) = out.glob("*.tar.gz"), out.glob("*.whl")
    return sdist, wheel


def test_sdist_contents(dist):
    with tarfile.open(str(dist[0])) as tar:
        top = {name.split("/", 1)[0] for name in tar.getnames()}
        assert top == {"orbitra_body-" + VERSION}
        names = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name and not tar.getmember(name).isdir()}
    tracked = tracked_files()
    sources = {name for name in tracked if name.startswith("src/orbitra/")}
    assert len(sources) > 10
    needed = sources | {"pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md", "CHANGELOG.md"} | {
        name for name in tracked if name.startswith("tests/")}
    assert sorted(needed - names) == []
    # Nothing untracked (the stray files above, build output, caches), and no CI or benchmarks.
    assert sorted(names - needed) == ["PKG-INFO"]


def test_wheel_contents(dist):
    with zipfile.ZipFile(str(dist[1])) as whl:
        names = set(whl.namelist())
        metadata = whl.read("orbitra_body-{}.dist-info/METADATA".format(VERSION)).decode()
    info = {n for n in names if n.startswith("orbitra_body-{}.dist-info/".format(VERSION))}
    modules = [n for n in names if re.fullmatch(r"orbitra/body\.[\w.-]*\.so", n)]
    assert len(modules) == 1
    # Nothing else: no C++ sources or headers, no CMake files, nothing outside the package.
    assert names - info - set(modules) == PACKAGE_FILES
    assert "orbitra_body-{}.dist-info/licenses/LICENSE".format(VERSION) in info
    for line in ["Name: orbitra-body", "Version: " + VERSION, "Requires-Python: >=3.8",
                 "Classifier: Typing :: Typed", "License-Expression: MIT"]:
        assert line in metadata.splitlines()


def module_bytes(wheel):
    with zipfile.ZipFile(str(wheel)) as whl:
        (module,) = [n for n in whl.namelist() if re.fullmatch(r"orbitra/body\.[\w.-]*\.so", n)]
        return whl.read(module)


def test_module_bytes_do_not_depend_on_the_build_folder(dist, tmp_path):
    # pip builds the sdist in a temporary folder of its own, not in the clone.
    run([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "-w", tmp_path, dist[0]], cwd=tmp_path)
    (elsewhere,) = tmp_path.glob("*.whl")
    assert module_bytes(elsewhere) == module_bytes(dist[1])


@pytest.mark.skipif(os.environ.get("ORBITRA_SDIST_TEST") != "1",
                    reason="compiles the sdist in a fresh venv; set ORBITRA_SDIST_TEST=1")
def test_sdist_installs_and_passes_tests(dist, tmp_path):
    sdist = dist[0]
    run([sys.executable, "-m", "venv", tmp_path / "venv"], cwd=tmp_path)
    bin_dir = tmp_path / "venv" / "bin"
    run([bin_dir / "python", "-m", "pip", "install", "-q", "{}[test]".format(sdist)], cwd=tmp_path)
    with tarfile.open(str(sdist)) as tar:
        # The "data" filter where it exists (3.12+ warn without one).
        kwargs = {"filter": "data"} if hasattr(tarfile, "data_filter") else {}
        tar.extractall(str(tmp_path / "src"), **kwargs)
    tests = tmp_path / "src" / ("orbitra_body-" + VERSION) / "tests"
    out = run([bin_dir / "python", "-I", "-c",
               "import orbitra, orbitra.body; print(orbitra.__version__, orbitra.body.__file__)"], cwd=tmp_path)
    version, module = out.split()
    assert version == VERSION and module.startswith(str(tmp_path / "venv"))
    out = run([bin_dir / "pytest", "-q", "-x", tests / "test_record.py"], cwd=tmp_path)
    assert re.search(r"\d+ passed", out) and "failed" not in out
