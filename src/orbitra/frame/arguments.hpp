// arguments.hpp: binding a call's arguments to parameter names, and value conversions.
#pragma once

#include <Python.h>

#include "frame/compat.hpp"
#include "frame/owned.hpp"

namespace orb {

// The parameters of a function called with positional and keyword arguments.
struct ParameterList {
    const char *function_name;    // as shown in messages
    PyObject *const *const *names;  // state slots of the interned names, null-terminated
    Py_ssize_t required;
    Py_ssize_t max_positional;
};

enum class Binding { kBound, kTooManyPositional, kKeywordsRejected };

// Fills `slots` (one per name, all empty on entry) with the bound values, each held from the
// moment it is bound: comparing a keyword key may run Python code that empties the dict.
// Gives kBound, or the failure with the binding error set. Runs no key's __hash__.
Binding bind_arguments(const ParameterList &parameters, PyObject *args, PyObject *kwargs,
                       Owned *slots) noexcept;

ORB_COLD void raise_positional_count_error(const char *function_name, Py_ssize_t required,
                                                Py_ssize_t max_positional, Py_ssize_t given) noexcept;
ORB_COLD void raise_duplicate_keyword_error(const char *function_name, PyObject *key) noexcept;

// Conversions give -1 (or -1.0) as a sentinel: a failure only when an error is set.
// Inline: a float, the common argument, is read where the conversion is written.
inline double to_double(PyObject *value) noexcept {
    if (Py_TYPE(value) == &PyFloat_Type) return PyFloat_AS_DOUBLE(value);
    return PyFloat_AsDouble(value);
}
Owned coerce_to_int(PyObject *value) noexcept;
signed char to_signed_byte(PyObject *value) noexcept;

inline bool conversion_failed(double value) noexcept { return value == -1.0 && PyErr_Occurred(); }
inline bool conversion_failed(signed char value) noexcept { return value == -1 && PyErr_Occurred(); }

}  // namespace orb
