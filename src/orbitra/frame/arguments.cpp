// arguments.cpp: the argument binder, the keyword binder and the value conversions.
#include "frame/arguments.hpp"

#include <climits>
#include <utility>

#include "frame/compat.hpp"
#include "frame/failure.hpp"
#include "frame/protocol.hpp"

namespace orb {

namespace {

// Same object, or same wide length and equal text. 1 equal, 0 different, -1 error.
int names_equal(PyObject *name, PyObject *key) noexcept {
    if (name == key) return 1;
    const Py_ssize_t name_length = compat::unicode_wide_length(name);
    if (name_length < 0) return -1;
    const Py_ssize_t key_length = compat::unicode_wide_length(key);
    if (key_length < 0) return -1;
    if (name_length != key_length) return 0;
    const int order = PyUnicode_Compare(name, key);
    if (order < 0 && PyErr_Occurred()) return -1;
    return order == 0;
}

// Index of the name matching `key` among names[first, last), -1 if none, -2 on error.
Py_ssize_t find_name(PyObject *const *const *names, Py_ssize_t first, Py_ssize_t last,
                     PyObject *key) noexcept {
    for (Py_ssize_t index = first; index < last; ++index) {
        const int equal = names_equal(*names[index], key);
        if (equal < 0) return -2;
        if (equal) return index;
    }
    return -1;
}

Py_ssize_t count_names(PyObject *const *const *names) noexcept {
    Py_ssize_t count = 0;
    while (names[count]) ++count;
    return count;
}

}  // namespace

void raise_positional_count_error(const char *function_name, Py_ssize_t required,
                                  Py_ssize_t max_positional, Py_ssize_t given) noexcept {
    const bool too_few = given < required;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 function_name, too_few ? "at least" : "at most",
                 too_few ? required : max_positional, "s", given);
}

void raise_duplicate_keyword_error(const char *function_name, PyObject *key) noexcept {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                 function_name, key);
}

namespace {

// Walks every entry, in the dict's order; used when the lookups by name left one over.
// No step runs Python code (the name test compares the text of a str subclass without
// its __eq__), but releasing a slot's earlier value can run a finaliser, so each entry is
// held while it is bound.
int bind_keywords(PyObject *kwargs, const ParameterList &parameters, Py_ssize_t positional,
                  Owned *slots) noexcept {
    PyObject *const *const *names = parameters.names;
    const Py_ssize_t count = count_names(names);
    Py_ssize_t position = 0;
    PyObject *next_key, *next_value;
    while (PyDict_Next(kwargs, &position, &next_key, &next_value)) {
        const Owned key = Owned::borrow(next_key);
        Owned value = Owned::borrow(next_value);
        Py_ssize_t index = positional;
        while (index < count && *names[index] != key.get()) ++index;
        if (index < count) {
            slots[index] = std::move(value);
            continue;
        }
        if (!PyType_HasFeature(Py_TYPE(key.get()), Py_TPFLAGS_UNICODE_SUBCLASS)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings",
                         parameters.function_name);
            return -1;
        }
        index = find_name(names, positional, count, key.get());
        if (index == -2) return -1;
        if (index >= 0) {
            slots[index] = std::move(value);
            continue;
        }
        index = find_name(names, 0, positional, key.get());
        if (index == -2) return -1;
        if (index >= 0) {
            raise_duplicate_keyword_error(parameters.function_name, key.get());
            return -1;
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     parameters.function_name, key.get());
        return -1;
    }
    return 0;
}

// One lookup per name not bound positionally, in parameter order, until every entry is
// accounted for. The lookup uses the hashes the dict stored, so a key's own __hash__ never
// runs; a key's __eq__ may, and whatever it does to the dict, the later lookups see, while
// the values bound so far are held here. A miss with an error pending is a RecursionError
// that the lookup kept.
int bind_from_dict(const ParameterList &parameters, PyObject *kwargs, Py_ssize_t positional,
                   Owned *slots) noexcept {
    PyObject *const *const *names = parameters.names;
    Py_ssize_t remaining = PyDict_GET_SIZE(kwargs);
    // Every lookup either leaves no error pending or ends the binding, so an error that
    // was pending on entry is the only one the lookups must set aside.
    const bool error_pending_on_entry = PyErr_Occurred() != nullptr;
    for (Py_ssize_t index = positional; remaining > 0 && names[index]; ++index) {
        PyObject *const name = *names[index];
        if (Owned value = Owned::steal(error_pending_on_entry
                                           ? compat::dict_lookup(kwargs, name)
                                           : compat::dict_lookup_with_no_error_pending(kwargs, name))) {
            slots[index] = std::move(value);
            --remaining;
        } else if (PyErr_Occurred()) {
            return -1;
        }
    }
    if (remaining == 0) return 0;
    return bind_keywords(kwargs, parameters, positional, slots);
}

}  // namespace

Binding bind_arguments(const ParameterList &parameters, PyObject *args, PyObject *kwargs,
                       Owned *slots) noexcept {
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    if (positional > parameters.max_positional) {
        raise_positional_count_error(parameters.function_name, parameters.required,
                                     parameters.max_positional, positional);
        return Binding::kTooManyPositional;
    }
    for (Py_ssize_t index = 0; index < positional; ++index)
        slots[index] = Owned::borrow(PyTuple_GET_ITEM(args, index));
    if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) return Binding::kBound;
    if (bind_from_dict(parameters, kwargs, positional, slots) < 0)
        return Binding::kKeywordsRejected;
    return Binding::kBound;
}

Owned coerce_to_int(PyObject *value) noexcept {
    if (PyType_HasFeature(Py_TYPE(value), Py_TPFLAGS_LONG_SUBCLASS)) return Owned::borrow(value);
    PyNumberMethods *number = Py_TYPE(value)->tp_as_number;
    if (number && number->nb_int) {
        Owned result = Owned::steal(PyNumber_Long(value));
        if (result && !PyType_HasFeature(Py_TYPE(result.get()), Py_TPFLAGS_LONG_SUBCLASS)) {
            PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int",
                         "int", Py_TYPE(result.get())->tp_name);
            return {};
        }
        if (result) return result;
    }
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
    return {};
}

namespace {

signed char byte_or_overflow(long value) noexcept {
    if (value >= SCHAR_MIN && value <= SCHAR_MAX) return static_cast<signed char>(value);
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to char");
    return -1;
}

signed char int_to_signed_byte(PyObject *number) noexcept {
    long small;
    if (compat::long_single_digit_value(number, small)) return byte_or_overflow(small);
    // Fails with the interpreter's own overflow error beyond the range of a C long; its -1
    // then lies in range and stands as the sentinel.
    return byte_or_overflow(PyLong_AsLong(number));
}

}  // namespace

signed char to_signed_byte(PyObject *value) noexcept {
    if (PyType_HasFeature(Py_TYPE(value), Py_TPFLAGS_LONG_SUBCLASS)) return int_to_signed_byte(value);
    Owned number = coerce_to_int(value);
    if (!number) return -1;
    return int_to_signed_byte(number.get());
}

}  // namespace orb

