"""The package as a new user meets it: its version, what importing it costs, the README."""
import doctest
import pathlib
import platform
import re
import shutil
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"
CHANGELOG = README.with_name("CHANGELOG.md")
# The README, the contributor's guide and the documents under docs/: every python block runs.
DOCUMENTS = [README, README.with_name("CONTRIBUTING.md"), *sorted(README.parent.glob("docs/*.md"))]
# Documents whose examples need a package that is a test extra only where it has wheels.
NEEDS = {"rebound.md": "rebound", "dask.md": "dask"}
# Documents whose recipes start processes: each also runs as the script a user pastes it into.
SCRIPTS = ["dask.md"]
# Figures the documents state that files of the clone fix: (document, pattern, file, pattern);
# both patterns capture the same value.
FIGURES = [
    ("README.md", r"CPython (3\.\d+) to", "pyproject.toml", r'requires-python = ">=(3\.\d+)"'),
    ("README.md", r"CPython 3\.\d+ to (3\.\d+)", "pyproject.toml",
     r'(?s).*"Programming Language :: Python :: (3\.\d+)"'),
    ("README.md", r"NumPy (1\.\d+) on 3\.8", "pyproject.toml", r'"numpy>=(1\.\d+),<2'),
    ("CONTRIBUTING.md", r"\((\d+) cases by default", "tests/test_reentrancy.py", r'FUZZ_CASES", "(\d+)"'),
    ("CONTRIBUTING.md", r"(\d+) in the sanitizer run", ".ci/sanitizers", r"ORBITRA_FUZZ_CASES=(\d+)"),
    ("CONTRIBUTING.md", r"(\d+) re-entrancy fuzzing cases instead", ".ci/aarch64", r"FUZZ_CASES:-(\d+)"),
    ("CONTRIBUTING.md", r"at most (\d+) examples per model", ".ci/aarch64", r"MODEL_EXAMPLES:-(\d+)"),
    ("CONTRIBUTING.md", r"every (\d+)\w\w start-up allocation", ".ci/aarch64", r"SWEEP_STRIDE:-(\d+)"),
    ("CONTRIBUTING.md", r"instead of every (\d+)th", "tests/test_allocation_failure.py",
     r'SWEEP_STRIDE", "(\d+)"'),
]
RELEASE_HEADING = re.compile(r"## (?:Unreleased|(?P<version>\d+\.\d+\.\d+) - \d{4}-\d\d-\d\d)")


def test_version_is_the_installed_distributions():
    from importlib.metadata import version

    import orbitra
    assert orbitra.__version__ == version("orbitra-body")
    if CHANGELOG.exists():
        headings = [line for line in CHANGELOG.read_text().splitlines() if line.startswith("## ")]
        releases = [RELEASE_HEADING.fullmatch(heading) for heading in headings]
        assert None not in releases, headings
        newest = next(match["version"] for match in releases if match["version"])
        assert newest == orbitra.__version__


def test_import_reads_no_package_metadata(tmp_path):
    # importlib.metadata would be a third of the import; the version is a plain string instead.
    # (3.13+ imports the unrelated _opcode_metadata at start-up.)
    code = ("import sys, orbitra.body; "
            "print(sorted(m for m in sys.modules if m.split('.')[:2] == ['importlib', 'metadata']))")
    res = subprocess.run([sys.executable, "-c", code], cwd=str(tmp_path), stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
    assert (res.returncode, res.stdout.strip(), res.stderr) == (0, "[]", "")


def document_id(path):
    return path.relative_to(README.parent).as_posix()


def python_blocks(document):
    # The fenced python blocks only: a closing fence would read as expected output.
    return "\n".join(re.findall(r"(?ms)^```python\n(.*?)^```", document.read_text()))


@pytest.mark.parametrize("document", [
    pytest.param(path, id=document_id(path),
                 marks=[pytest.mark.slow] if path.name == "dask.md" else [])  # worker processes
    for path in DOCUMENTS])
def test_document_examples_run(document):
    if not document.exists():
        pytest.skip("needs the clone's documents (an sdist carries the README only)")
    if document.name in NEEDS:
        pytest.importorskip(NEEDS[document.name], reason="{} needs {}, which has no wheel for this "
                            "interpreter or platform".format(document.name, NEEDS[document.name]))
    test = doctest.DocTestParser().get_doctest(python_blocks(document), {"__name__": "__main__"},
                                               document.name, str(document), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS)
    runner.run(test)
    assert len(test.examples) >= (5 if document == README else 0) and runner.failures == 0


@pytest.mark.parametrize("document, stated, source, fixed", FIGURES,
                         ids=["{}:{}".format(f[0], f[1]) for f in FIGURES])
def test_documents_figures_are_the_code(document, stated, source, fixed):
    if not (README.parent / document).exists() or not (README.parent / source).exists():
        pytest.skip("needs the clone")
    in_document = re.search(stated, (README.parent / document).read_text())
    in_source = re.search(fixed, (README.parent / source).read_text())
    assert in_document and in_source and in_document[1] == in_source[1]


@pytest.mark.slow  # worker processes
@pytest.mark.parametrize("name", SCRIPTS)
def test_process_recipes_run_as_scripts(name, tmp_path):
    # Worker processes started by spawn run the script again: a recipe that only works as a
    # doctest fails there.
    document = README.parent / "docs" / name
    if not document.exists():
        pytest.skip("needs the clone's documents")
    pytest.importorskip(NEEDS[name])
    script = tmp_path / "recipe.py"
    script.write_text(doctest.script_from_examples(python_blocks(document)))
    res = subprocess.run([sys.executable, str(script)], cwd=str(tmp_path), stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, universal_newlines=True, timeout=600)
    assert res.returncode == 0, res.stderr[-3000:]


def test_documents_links_and_commands_resolve():
    # Moved text leaves links and commands behind: each relative link names a file (and a
    # heading of it) that exists, and each script or test file a shell block runs exists.
    root = README.parent
    documents = [path for path in DOCUMENTS if path.exists()]
    if len(documents) < 3:
        pytest.skip("needs the clone's documents")
    assert README.stat().st_size <= 12 * 1024  # a README read in five minutes

    def anchors(path):
        return {re.sub(r"[^\w\- ]", "", h.strip().lower()).replace(" ", "-")
                for h in re.findall(r"(?m)^#+ (.*)$", path.read_text())}

    broken = []
    for path in documents:
        text = path.read_text()
        for target, anchor in re.findall(r"\]\((?!https?:)([^)#]*)(?:#([^)]*))?\)", text):
            linked = (path.parent / target).resolve() if target else path
            if not linked.exists() or (anchor and anchor not in anchors(linked)):
                broken.append("{}: {}#{}".format(document_id(path), target, anchor))
        for block in re.findall(r"(?ms)^```sh\n(.*?)^```", text):
            for name in re.findall(r"(?:^|\s)((?:\.ci|bench|tests)/[\w./-]+)", block):
                if not (root / name).exists():
                    broken.append("{}: {}".format(document_id(path), name))
    assert broken == []


@pytest.mark.skipif(not sys.platform.startswith("linux") or shutil.which("readelf") is None,
                    reason="needs readelf on Linux")
def test_module_needs_no_cxx_runtime_and_no_tls_calls():
    import orbitra.body
    dynamic = subprocess.run(["readelf", "-dW", "--dyn-syms", orbitra.body.__file__],
                             stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout
    needed = re.findall(r"\(NEEDED\).*\[(.+)\]", dynamic)
    # A wheel would have to carry a C++ runtime; a dynamic TLS access needs the dynamic linker.
    assert [lib for lib in needed if re.match(r"lib(std)?c\+\+|ld-linux", lib)] == []
    assert "__tls_get_addr" not in dynamic


@pytest.mark.skipif(not sys.platform.startswith("linux") or platform.machine() != "x86_64"
                    or shutil.which("readelf") is None or hasattr(sys, "gettotalrefcount"),
                    reason="the list is that of a release build for Linux x86-64; needs readelf")
def test_libc_symbols_are_those_platforms_md_lists():
    import orbitra.body
    document = README.parent / "docs" / "platforms.md"
    if not document.exists():
        pytest.skip("needs the clone's documents")
    dynamic, comment = (subprocess.run(["readelf", *args, orbitra.body.__file__], stdout=subprocess.PIPE,
                                       universal_newlines=True, check=True).stdout
                        for args in (["-W", "--dyn-syms"], ["-p", ".comment"]))
    if "clang" in comment or "__asan_init" in dynamic:
        pytest.skip("the list is that of GCC's build without sanitizers")
    stated = re.search(r"symbols of version `GLIBC_([\d.]+)` \(([^)]*)\)", document.read_text())
    listed = {(name, stated[1]) for name in re.findall(r"`(\w+)`", stated[2])}
    assert set(re.findall(r"UND (\w+)@GLIBC_([\d.]+)", dynamic)) == listed
