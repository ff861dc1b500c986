"""The package as a new user meets it: its version, what importing it costs, the README."""
import doctest
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"
CHANGELOG = README.with_name("CHANGELOG.md")
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


@pytest.mark.skipif(not README.exists(), reason="needs the README")
def test_readme_examples_run():
    # The fenced python blocks only: a closing fence would read as expected output.
    blocks = re.findall(r"(?ms)^```python\n(.*?)^```", README.read_text())
    test = doctest.DocTestParser().get_doctest("\n".join(blocks), {}, "README.md", str(README), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert len(test.examples) > 10 and runner.failures == 0


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
