"""Basic Body object for the simulation.
A physical body with mass, coordinates and momentum.
Its class lacks behaviour and only stores data.
Technically it's a C struct, sometimes posing as a numpy record array.
"""

# Written against typing as of Python 3.8, the oldest interpreter the module supports:
# typing.TypedDict and typing.SupportsIndex both exist there, so no typing_extensions.
from typing import Any, Dict, Iterable, List, Protocol, SupportsFloat, SupportsIndex, SupportsInt, TypedDict, Union

import numpy
import numpy.typing as npt

# The module keeps its own reference to NumPy; an alias (`import numpy as np` in a stub
# would not be re-exported) makes `orbitra.body.np` a module to type checkers.
np = numpy

# A double is converted like float(): through __float__, or __index__ for integers.
_Double = Union[SupportsFloat, SupportsIndex]

class BodyDict(TypedDict):
    """The dict form of a body. Exists for type checkers only: import it under
    `if typing.TYPE_CHECKING:`."""

    r: List[float]
    v: List[float]
    probe: int
    m: float

class _BodyLike(Protocol):
    # Only item lookup by field name is used, so NumPy record elements (numpy.void)
    # work as well as BodyDict and plain dicts.
    def __getitem__(self, __key: str) -> Any: ...

dtype: numpy.dtype[numpy.void]
__test__: Dict[str, Any]

def Body(
    m: _Double = 0.0,
    x: _Double = 0.0,
    y: _Double = 0.0,
    z: _Double = 0.0,
    vx: _Double = 0.0,
    vy: _Double = 0.0,
    vz: _Double = 0.0,
    # probe goes through __int__, so floats are accepted and truncate toward zero.
    probe: SupportsInt = 0,
) -> BodyDict: ...
# METH_O: the argument is positional only.
def BodyArray(__bodies: Iterable[_BodyLike]) -> npt.NDArray[numpy.void]:
    """Create an numpy array if bodies from an iterable of dicts."""
