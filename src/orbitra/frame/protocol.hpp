// protocol.hpp: the object-protocol operations the module's statements are made of.
#pragma once

#include <Python.h>

#include "frame/owned.hpp"

namespace orb {

// A global of the module whose dict is `globals`: that dict first, then builtins. Nothing
// is cached, so a global rebound or deleted from Python takes effect at the next lookup.
// The dict is held while its lookup compares keys, whose code may drop every other
// reference to it.
Owned global_lookup(PyObject *globals, PyObject *name) noexcept;

// A builtin; NameError "name '...' is not defined" when there is none.
Owned builtin_lookup(PyObject *name) noexcept;

Owned attribute_fetch(PyObject *object, PyObject *name) noexcept;

// Calls under the interpreter's recursion guard; a null result must come with an error.
Owned guarded_call(PyObject *callable, PyObject *args, PyObject *kwargs) noexcept;

// number + 1, as Python computes it, with native paths for small ints and floats.
Owned add_one(PyObject *number) noexcept;

}  // namespace orb
