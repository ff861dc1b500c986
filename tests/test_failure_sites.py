"""Failure sites are keyed by their place in the implementation: one site per line."""

import pathlib
import re

import pytest

SOURCES = sorted((pathlib.Path(__file__).resolve().parents[1] / "src" / "orbitra").rglob("*.cpp"))
SITE = re.compile(r"\bORB_(?:SITE|FAIL_AT|FAIL_IN)\s*\(")


@pytest.mark.skipif(not SOURCES, reason="needs the source tree")
def test_no_two_failure_sites_share_a_line():
    crowded = [
        f"{path.name}:{number}"
        for path in SOURCES
        for number, line in enumerate(path.read_text().splitlines(), 1)
        if len(SITE.findall(line)) > 1
    ]
    assert crowded == []
