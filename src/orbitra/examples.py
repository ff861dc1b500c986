"""Example data for the documents and the demo: the Sun and the eight planets, in SI units
(kilograms, metres, seconds), the convention of orbitra.body."""
import math
from typing import TYPE_CHECKING, List

from orbitra.body import Body

if TYPE_CHECKING:
    from orbitra.body import BodyDict  # the stubs' name for Body's dict; none at run time

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


def solar_system() -> "List[BodyDict]":
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
