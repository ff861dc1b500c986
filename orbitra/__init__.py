"""orbitra: the body record of the orbitra simulation package (see orbitra.body)."""
