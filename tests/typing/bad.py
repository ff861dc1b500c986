# Each line marked "# E: code" must draw exactly that mypy error; no other line may.
from orbitra.body import Body, BodyArray, dtype

Body(m="heavy")  # E: arg-type
Body()["q"]  # E: typeddict-item
BodyArray(3)  # E: arg-type
name: str = Body()["probe"]  # E: assignment
Body(1, 2, 3, 4, 5, 6, 7, 8, 9)  # E: call-arg
Body(probe=None)  # E: arg-type
Body(mass=1.0)  # E: call-arg
BodyArray("abc")  # E: arg-type
BodyArray([1.0, 2.0])  # E: list-item
BodyArray(bodies=[])  # E: call-arg
dtype.itemsize.upper()  # E: attr-defined
Body()["r"] = 1.0  # E: typeddict-item
