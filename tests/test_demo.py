"""python -m orbitra: the Sun and the planets, and the figures derived from their array."""
import re
import subprocess
import sys

import pytest

PLANETS = ["Mercury", "Venus", "Earth", "Mars", "Jupiter", "Saturn", "Uranus", "Neptune"]


def test_demo(tmp_path):
    res = subprocess.run([sys.executable, "-m", "orbitra"], cwd=str(tmp_path), stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
    assert res.returncode == 0 and res.stderr == "", res.stderr
    rows = {line.split()[0]: line.split()[1:] for line in res.stdout.splitlines() if line.strip()}
    # One row per body, its name found again from the probe column.
    for probe, name in enumerate(["Sun"] + PLANETS):
        assert int(rows[name][-1]) == probe
    assert "centre of mass:" in res.stdout and "total momentum:" in res.stdout
    # Units and orbits both right put the barycentre within about two solar radii of the Sun.
    radii = float(re.search(r"barycentre from the Sun's centre: \S+ m \(([\d.]+) solar radii\)", res.stdout)[1])
    assert 0.1 < radii < 2.5


@pytest.mark.parametrize("args, status", [(["--help"], 0), (["--planets"], 2)])
def test_arguments_get_a_usage_line_instead_of_the_demo(tmp_path, args, status):
    res = subprocess.run([sys.executable, "-m", "orbitra", *args], cwd=str(tmp_path), stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
    assert res.returncode == status
    assert (res.stdout + res.stderr).startswith("usage: python -m orbitra")
    assert "bodies" not in res.stdout
