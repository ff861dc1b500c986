"""orbitra: the body record of the orbitra simulation package (see orbitra.body)."""

# The build reads the distribution's version from this line, so that importing the package
# needs no importlib.metadata (which would cost about a third of the import).
__version__ = "0.1.0"
