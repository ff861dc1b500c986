// protocol.hpp: the object-protocol operations the module's statements are made of.
#pragma once

#include <Python.h>

#include "frame/owned.hpp"

namespace orb {

// A module global: the module dict first, then builtins. Nothing is cached, so a global
// rebound or deleted from Python takes effect at the next lookup.
Owned global_lookup(PyObject *name) noexcept;

// A builtin; NameError "name '...' is not defined" when there is none.
Owned builtin_lookup(PyObject *name) noexcept;

Owned attribute_fetch(PyObject *object, PyObject *name) noexcept;

// Whether a key's type compares by methods written in Python: looking the dict up may then
// run Python code. A class that only inherits its comparison from a built-in type does not.
bool some_key_compares_in_python(PyObject *dict) noexcept;

// Calls under the interpreter's recursion guard; a null result must come with an error.
Owned guarded_call(PyObject *callable, PyObject *args, PyObject *kwargs) noexcept;

// number + 1, as Python computes it, with native paths for small ints and floats.
Owned add_one(PyObject *number) noexcept;

}  // namespace orb
