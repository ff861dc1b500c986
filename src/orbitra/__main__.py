"""The Sun and the eight planets as a body array, and what NumPy derives from it.

Run with: python -m orbitra
"""
import argparse
import math

import numpy as np

import orbitra
from orbitra.body import Body, BodyArray

G = 6.674e-11  # m^3 kg^-1 s^-2
SUN_MASS = 1.989e30  # kg
SUN_RADIUS = 6.957e8  # m

# Mass in kg and mean distance from the Sun in m.
PLANETS = [
    ("Mercury", 3.301e23, 5.791e10),
    ("Venus", 4.867e24, 1.082e11),
    ("Earth", 5.972e24, 1.496e11),
    ("Mars", 6.417e23, 2.279e11),
    ("Jupiter", 1.898e27, 7.786e11),
    ("Saturn", 5.683e26, 1.434e12),
    ("Uranus", 8.681e25, 2.872e12),
    ("Neptune", 1.024e26, 4.495e12),
]
NAMES = ["Sun"] + [name for name, _, _ in PLANETS]


def solar_system():
    """Circular orbits in the ecliptic plane (z = 0), counter-clockwise seen from the
    north. Planets are spread by the golden angle so that no two line up. probe holds
    each body's place from the Sun (the Sun is 0), to find its name again in the array."""
    bodies = [Body(SUN_MASS, probe=0)]
    for number, (_, mass, distance) in enumerate(PLANETS, 1):
        angle = number * math.pi * (3.0 - math.sqrt(5.0))
        speed = math.sqrt(G * SUN_MASS / distance)
        bodies.append(Body(m=mass, x=distance * math.cos(angle), y=distance * math.sin(angle),
                           vx=-speed * math.sin(angle), vy=speed * math.cos(angle), probe=number))
    return bodies


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
