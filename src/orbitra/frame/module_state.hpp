// module_state.hpp: the module-wide values made once at start-up and kept for the process.
#pragma once

#include <Python.h>

namespace orb {

// Interned names: record fields, keyword names, globals, NumPy attributes and the names
// of BodyArray's code object. `dtype` serves as global and as NumPy keyword alike.
struct Names {
    PyObject *r, *v, *probe, *m;
    PyObject *x, *y, *z, *vx, *vy, *vz;
    PyObject *np, *dtype, *BodyArray, *test;
    PyObject *numpy, *double_, *int8, *empty, *align;
    PyObject *bodies, *body_array, *i, *b;
    PyObject *source_path;  // absolute path of the module source, not interned
    PyObject *module_name;  // "orbitra.body"
    PyObject *dunder_spec, *initializing;  // "__spec__" and "_initializing", for the import lock
    PyObject *version;                     // "__version__", NumPy's
};

struct ModuleState {
    PyObject *module;       // cleared again when start-up fails
    PyObject *module_dict;  // a reference of our own
    PyObject *builtins;     // borrowed from the interpreter
    PyObject *empty_tuple;
    PyObject *empty_bytes;
    Names names;
    PyObject *int_0, *int_1, *int_3;
    PyObject *shape_r, *shape_v;  // the two (3,) tuples of the record dtype
    PyObject *record_dtype;  // the dtype start-up made, whatever the global is now
    bool numpy_wraps_integers;  // NumPy 1.x stores an out-of-range int into int8 wrapped
    PyObject *body_array_variable_names;
    PyObject *body_array_code;
    PyObject *type_type;
    PyObject *numpy_dtype, *numpy_flatiter, *numpy_broadcast, *numpy_ndarray, *numpy_ufunc;
};

extern ModuleState g_state;

// Stores a new reference in a state slot; a value left by an earlier, failed start-up
// is released, so a second import after a failure leaks nothing.
void store_state(PyObject *&slot, PyObject *value) noexcept;

// Makes every interned name; stops at the first failure (-1, error set).
int fill_name_table() noexcept;

}  // namespace orb
