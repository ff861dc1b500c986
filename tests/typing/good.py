from typing import TYPE_CHECKING, List

from orbitra import body
from orbitra.body import Body, BodyArray, dtype

if TYPE_CHECKING:
    from orbitra.body import BodyDict


class Mass:
    def __float__(self) -> float:
        return 5.0


sun: "BodyDict" = Body(1.989e30, probe=1)
earth = Body(m=5.972e24, x=1.496e11, vy=2.978e4, probe=2.9)
moon = Body(Mass(), 1, 2, 3, 4, 5, 6, True)
bodies: List["BodyDict"] = [sun, earth, moon]
array = BodyArray(bodies)
again = BodyArray(iter(array))
plain = BodyArray([{"m": 1.0, "r": [0.0, 0.0, 0.0], "v": [0.0, 0.0, 0.0], "probe": 0}])
first = BodyArray([array[0], array[1]])

x: float = earth["r"][0]
probe: int = earth["probe"] + 1
mass: float = earth["m"] * 2
size: int = dtype.itemsize + array.size + body.dtype.itemsize
total = array["m"].sum() + body.np.float64(1.0)
