"""A few bodies, the record dtype and the array they make: python -m orbitra"""

from orbitra.body import Body, BodyArray, dtype


def main() -> None:
    bodies = [
        Body(1.989e30, probe=1),
        Body(5.972e24, 1.496e11, 0.0, 0.0, 0.0, 2.978e4, 0.0),
        Body(m=7.342e22, x=1.496e11 + 3.844e8, vy=2.978e4 + 1.022e3, probe=-1),
    ]
    print("record dtype:", dtype)
    print("item size:", dtype.itemsize, "bytes")
    array = BodyArray(bodies)
    print(array)


if __name__ == "__main__":
    main()
