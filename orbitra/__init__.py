"""orbitra: the body record of the orbitra simulation package (see orbitra.body)."""

from importlib.metadata import version as _version

# pyproject.toml holds the one true version; the installed metadata carries it here.
__version__ = _version("orbitra-body")
