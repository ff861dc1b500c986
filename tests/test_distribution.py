"""What the sdist and the wheel built from it carry, and that the sdist installs and works."""
import os
import pathlib
import re
import subprocess
import sys
import tarfile
import zipfile

import pytest

pytest.importorskip("build")
pytestmark = pytest.mark.slow

ROOT = pathlib.Path(__file__).resolve().parents[1]
VERSION = re.search(r'(?m)^version = "([^"]+)"$', (ROOT / "pyproject.toml").read_text())[1]
PACKAGE_FILES = {"orbitra/__init__.py", "orbitra/__main__.py", "orbitra/body.pyi", "orbitra/py.typed"}


def run(args, cwd, timeout=900):
    res = subprocess.run([str(a) for a in args], cwd=str(cwd), stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, universal_newlines=True, timeout=timeout)
    assert res.returncode == 0, res.stdout[-6000:]
    return res.stdout


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    # Without --sdist or --wheel, build makes the sdist and then the wheel from the
    # unpacked sdist, so the wheel also proves the sdist is complete enough to compile.
    out = tmp_path_factory.mktemp("dist")
    run([sys.executable, "-m", "build", "--outdir", out, ROOT], cwd=out)
    (sdist,), (wheel,) = out.glob("*.tar.gz"), out.glob("*.whl")
    return sdist, wheel


def test_sdist_contents(dist):
    with tarfile.open(str(dist[0])) as tar:
        top = {name.split("/", 1)[0] for name in tar.getnames()}
        assert top == {"orbitra_body-" + VERSION}
        names = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
    sources = {p.relative_to(ROOT).as_posix() for p in (ROOT / "orbitra").rglob("*")
               if p.suffix in {".cpp", ".hpp", ".py", ".pyi", ".typed"}}
    assert len(sources) > 10
    needed = sources | PACKAGE_FILES | {
        "PKG-INFO", "pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md",
        "tests/test_record.py", "tests/typing/good.py", "tests/typing/bad.py"}
    assert needed <= names
    stray = [n for n in names if n.startswith(("build/", "dist/", ".venv", ".ci-venvs/", ".git/"))
             or re.search(r"(\.so|\.o|\.pyc|CMakeCache\.txt)$", n)]
    assert stray == []


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
                 "Classifier: Typing :: Typed", "Classifier: License :: OSI Approved :: MIT License"]:
        assert line in metadata.splitlines()


def test_installed_version_is_the_project_version():
    import orbitra
    assert orbitra.__version__ == VERSION


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
