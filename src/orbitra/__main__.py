"""The Sun and the eight planets as a body array, and what NumPy derives from it.

Run with: python -m orbitra
"""
import argparse

import numpy as np

import orbitra
from orbitra.body import BodyArray
from orbitra.examples import NAMES, SUN_RADIUS, solar_system


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(
        prog="python -m orbitra",
        description="Print the Sun and the eight planets as an orbitra.body array, with their "
                    "total mass, centre of mass and total momentum.")
    parser.add_argument("--version", action="version", version="orbitra-body " + orbitra.__version__)
    parser.parse_args(argv)
    array = BodyArray(solar_system())
    print(f"{len(array)} bodies, {array.dtype.itemsize} bytes each\n")
    header = ("name", "mass/kg", "x/m", "y/m", "z/m", "vx/(m/s)", "vy/(m/s)", "vz/(m/s)", "probe")
    print(f"{header[0]:<8}" + "".join(f"{h:>11}" for h in header[1:-1]) + f"{header[-1]:>6}")
    for record in array:
        cells = [record["m"], *record["r"], *record["v"]]
        print(f"{NAMES[record['probe']]:<8}" + "".join(f"{c:>11.3e}" for c in cells)
              + f"{record['probe']:>6}")

    m = array["m"]
    total_mass = m.sum()
    centre = (m[:, None] * array["r"]).sum(axis=0) / total_mass
    momentum = (m[:, None] * array["v"]).sum(axis=0)
    sun = array[array["probe"] == 0][0]
    offset = np.linalg.norm(centre - sun["r"])

    def vector(v):
        return "(" + ", ".join(f"{c:.4e}" for c in v) + ")"

    print()
    print(f"total mass:      {total_mass:.6e} kg")
    print(f"centre of mass:  {vector(centre)} m")
    print(f"total momentum:  {vector(momentum)} kg m/s")
    print(f"barycentre from the Sun's centre: {offset:.4e} m ({offset / SUN_RADIUS:.2f} solar radii)")


if __name__ == "__main__":
    main()
