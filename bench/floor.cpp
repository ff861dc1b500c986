// floor.cpp: the least work Body and BodyArray can do under their calling conventions,
// as the benchmark's reference. Never part of the package.
//
// It does what the module must and nothing more, with the leanest calls: arguments bound
// by hand against interned names, exact types read in place (anything else goes through
// the generic conversion, or is refused where the module would hand it to NumPy), dicts
// read as the module reads them where it can, in one pass over their entries with the keys
// matched by identity and the values borrowed, and, for BodyArray, the loop's counter made
// as an int for every element as the module's loop makes it. It reads small ints as the module does, through
// the module's own compat header, so that the read costs the same on every interpreter.
#include <Python.h>

#include <cstring>

#include "compat.hpp"

namespace {

PyObject *names[8];
PyObject *key_r, *key_v, *key_probe, *key_m;
PyObject *zero;

PyObject *list_of_three(const double *values) {
    PyObject *list = PyList_New(3);
    if (!list) return nullptr;
    for (int i = 0; i < 3; ++i) {
        PyObject *item = PyFloat_FromDouble(values[i]);
        if (!item) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, i, item);
    }
    return list;
}

int set_owned(PyObject *dict, PyObject *key, PyObject *value) {
    if (!value) return -1;
    const int status = PyDict_SetItem(dict, key, value);
    Py_DECREF(value);
    return status;
}

// A small exact int read in place; false for anything else.
bool small_int(PyObject *value, long &number) {
    return Py_TYPE(value) == &PyLong_Type && orb::compat::long_single_digit_value(value, number);
}

bool in_byte_range(long number) { return number >= -128 && number <= 127; }

// Positional and keyword arguments bound by hand against interned names; the values
// converted and returned as the record dict.
PyObject *body(PyObject *, PyObject *args, PyObject *kwargs) {
    PyObject *slots[8] = {};
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (n > 8) return PyErr_Format(PyExc_TypeError, "too many"), nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {  // one pass over the entries, each key the very name object
        Py_ssize_t position = 0;
        for (Py_ssize_t entry = PyDict_GET_SIZE(kwargs); entry > 0; --entry) {
            PyObject *key, *value;
            PyDict_Next(kwargs, &position, &key, &value);
            const int i = key == names[0] ? 0 : key == names[1] ? 1 : key == names[2] ? 2
                        : key == names[3] ? 3 : key == names[4] ? 4 : key == names[5] ? 5
                        : key == names[6] ? 6 : key == names[7] ? 7 : -1;
            if (i < n) return PyErr_Format(PyExc_TypeError, "unexpected keyword"), nullptr;
            slots[i] = value;
        }
    }
    double values[7] = {};
    for (int i = 0; i < 7; ++i) {
        PyObject *slot = slots[i];
        if (!slot) continue;
        values[i] = Py_TYPE(slot) == &PyFloat_Type ? PyFloat_AS_DOUBLE(slot) : PyFloat_AsDouble(slot);
        if (values[i] == -1.0 && PyErr_Occurred()) return nullptr;
    }
    long probe = 0;
    if (slots[7] && !(small_int(slots[7], probe) && in_byte_range(probe)))
        return PyErr_Format(PyExc_TypeError, "probe: a small int"), nullptr;
    PyObject *dict = PyDict_New();
    if (!dict) return nullptr;
    PyObject *probe_object = probe == 0 ? (Py_INCREF(zero), zero) : PyLong_FromLong(probe);
    if (set_owned(dict, key_r, list_of_three(values + 1)) < 0 ||
        set_owned(dict, key_v, list_of_three(values + 4)) < 0 ||
        set_owned(dict, key_probe, probe_object) < 0 ||
        set_owned(dict, key_m, PyFloat_FromDouble(values[0])) < 0) {
        Py_DECREF(dict);
        return nullptr;
    }
    return dict;
}

bool store_double(PyObject *value, unsigned char *out) {
    if (Py_TYPE(value) != &PyFloat_Type) return false;
    const double number = PyFloat_AS_DOUBLE(value);
    std::memcpy(out, &number, sizeof number);
    return true;
}

// The vectors Body makes: an exact list of three exact floats.
bool store_vector(PyObject *value, unsigned char *out) {
    if (Py_TYPE(value) != &PyList_Type || PyList_GET_SIZE(value) != 3) return false;
    PyObject **items = &PyList_GET_ITEM(value, 0);
    return store_double(items[0], out) && store_double(items[1], out + 8) &&
           store_double(items[2], out + 16);
}

bool store_probe(PyObject *value, unsigned char *out) {
    long number;
    if (!small_int(value, number) || !in_byte_range(number)) return false;
    *out = static_cast<unsigned char>(static_cast<signed char>(number));
    return true;
}

// Reads the four values of each exact dict of list(bodies), the copy BodyArray makes too, and
// stores the 57 bytes into the array's memory; a value the module would leave to NumPy is
// refused with TypeError.
PyObject *store(PyObject *, PyObject *args) {
    PyObject *iterable, *array;
    if (!PyArg_ParseTuple(args, "OO", &iterable, &array)) return nullptr;
    PyObject *bodies = PySequence_List(iterable);
    if (!bodies) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(array, &view, PyBUF_WRITABLE) < 0) {
        Py_DECREF(bodies);
        return nullptr;
    }
    auto *out = static_cast<unsigned char *>(view.buf);
    Py_INCREF(zero);
    PyObject *counter = zero;
    for (Py_ssize_t position = 0; position < PyList_GET_SIZE(bodies); ++position, out += 57) {
        // The loop's counter: the next int, made for every element. PyLong_FromLong is the
        // leaner call; a benchmark's list is far shorter than a C long's range.
        PyObject *next = PyLong_FromLong(static_cast<long>(position + 1));
        if (!next) break;
        Py_SETREF(counter, next);
        PyObject *b = PyList_GET_ITEM(bodies, position);
        if (!PyDict_CheckExact(b) || PyDict_GET_SIZE(b) != 4) {
            PyErr_SetString(PyExc_TypeError, "an exact dict of four entries");
            break;
        }
        // One pass over the entries, each key one of the four name objects.
        PyObject *fields[4] = {};  // m, r, v, probe
        Py_ssize_t entry_position = 0;
        for (int entry = 0; entry < 4; ++entry) {
            PyObject *key, *value;
            PyDict_Next(b, &entry_position, &key, &value);
            const int field = key == key_m ? 0 : key == key_r ? 1 : key == key_v ? 2 : key == key_probe ? 3 : -1;
            if (field < 0) break;
            fields[field] = value;
        }
        PyObject *m = fields[0], *r = fields[1], *v = fields[2], *probe = fields[3];
        if (!m || !r || !v || !probe) {
            PyErr_SetString(PyExc_KeyError, "a field");
            break;
        }
        if (!store_double(m, out + 49) || !store_vector(r, out) || !store_vector(v, out + 24) ||
            !store_probe(probe, out + 48)) {
            PyErr_SetString(PyExc_TypeError, "a value stored directly");
            break;
        }
    }
    Py_DECREF(counter);
    PyBuffer_Release(&view);
    Py_DECREF(bodies);
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"Body", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(body)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"store", store, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {PyModuleDef_HEAD_INIT, "floor", nullptr, -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject *PyInit_floor(void) {
    const char *texts[8] = {"m", "x", "y", "z", "vx", "vy", "vz", "probe"};
    for (int i = 0; i < 8; ++i)
        if (!(names[i] = PyUnicode_InternFromString(texts[i]))) return nullptr;
    key_r = PyUnicode_InternFromString("r");
    key_v = PyUnicode_InternFromString("v");
    key_probe = names[7];
    key_m = names[0];
    zero = PyLong_FromLong(0);
    if (!key_r || !key_v || !zero) return nullptr;
    return PyModule_Create(&definition);
}
