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

// Start-up can run more than once in a process: after a failed start-up, for the same file
// under a second name, for another interpreter, or through PyInit_body called again. Every
// function a start-up made keeps reading what it read, so nothing here is ever replaced or
// released: the values below are made by the first start-up that gets to them and later
// start-ups find them made. What belongs to one module, its dict above all, is reached
// through the module that a function is bound to, never through this state.
struct ModuleState {
    PyObject *builtins;     // a reference of our own
    PyObject *empty_tuple;
    PyObject *empty_bytes;
    Names names;
    PyObject *int_0, *int_1, *int_3;
    PyObject *shape_r, *shape_v;  // the two (3,) tuples of the record dtype
    PyObject *body_array_variable_names;
    PyObject *body_array_code;
    // Published whole by the first start-up that succeeds, and kept.
    PyObject *module_dict;  // that module's dict: the globals of the native builder's frames
    PyObject *record_dtype;  // the dtype it made, whatever the global is now
    bool numpy_wraps_integers;  // NumPy 1.x stores an out-of-range int into int8 wrapped
    PyObject *type_type;
    PyObject *numpy_dtype, *numpy_flatiter, *numpy_broadcast, *numpy_ndarray, *numpy_ufunc;
};

extern ModuleState g_state;

// Fills an empty state slot with a new reference made by `make` (null: failure, error
// set); a slot that an earlier start-up filled keeps its value and nothing is made.
template <class Make>
int make_once(PyObject *&slot, Make make) noexcept {
    if (!slot) slot = make();
    return slot ? 0 : -1;
}

// Makes every interned name not made yet; stops at the first failure (-1, error set).
int fill_name_table() noexcept;

}  // namespace orb
