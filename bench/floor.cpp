// floor.cpp: the least work Body and BodyArray can do under their calling conventions,
// as the benchmark's reference. Never part of the package.
#include <Python.h>

#include <cstring>

namespace {

PyObject *names[8];
PyObject *key_r, *key_v, *key_probe, *key_m;

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

// Positional and keyword arguments bound by hand against interned names; the values
// converted and returned as the record dict.
PyObject *body(PyObject *, PyObject *args, PyObject *kwargs) {
    PyObject *slots[8] = {};
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (n > 8) return PyErr_Format(PyExc_TypeError, "too many"), nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        Py_ssize_t remaining = PyDict_GET_SIZE(kwargs);
        for (Py_ssize_t i = n; i < 8 && remaining > 0; ++i)
            if ((slots[i] = PyDict_GetItem(kwargs, names[i]))) --remaining;
        if (remaining) return PyErr_Format(PyExc_TypeError, "unexpected keyword"), nullptr;
    }
    double values[7] = {};
    for (int i = 0; i < 7; ++i) {
        if (!slots[i]) continue;
        values[i] = PyFloat_AsDouble(slots[i]);
        if (values[i] == -1.0 && PyErr_Occurred()) return nullptr;
    }
    long probe = slots[7] ? PyLong_AsLong(slots[7]) : 0;
    if (probe == -1 && PyErr_Occurred()) return nullptr;
    PyObject *dict = PyDict_New();
    if (!dict) return nullptr;
    if (set_owned(dict, key_r, list_of_three(values + 1)) < 0 ||
        set_owned(dict, key_v, list_of_three(values + 4)) < 0 ||
        set_owned(dict, key_probe, PyLong_FromLong(probe)) < 0 ||
        set_owned(dict, key_m, PyFloat_FromDouble(values[0])) < 0) {
        Py_DECREF(dict);
        return nullptr;
    }
    return dict;
}

int read_vector(PyObject *value, double *out) {
    PyObject *seq = PySequence_Fast(value, "vector");
    if (!seq) return -1;
    for (int i = 0; i < 3; ++i) out[i] = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(seq, i));
    Py_DECREF(seq);
    return PyErr_Occurred() ? -1 : 0;
}

// Reads the four values of each dict and stores the 57 bytes into the array's memory.
PyObject *store(PyObject *, PyObject *args) {
    PyObject *bodies, *array;
    if (!PyArg_ParseTuple(args, "O!O", &PyList_Type, &bodies, &array)) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(array, &view, PyBUF_WRITABLE) < 0) return nullptr;
    auto *out = static_cast<unsigned char *>(view.buf);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(bodies); ++i, out += 57) {
        PyObject *b = PyList_GET_ITEM(bodies, i);
        double r[3], v[3], m;
        if (read_vector(PyDict_GetItem(b, key_r), r) < 0 ||
            read_vector(PyDict_GetItem(b, key_v), v) < 0)
            break;
        const long probe = PyLong_AsLong(PyDict_GetItem(b, key_probe));
        m = PyFloat_AsDouble(PyDict_GetItem(b, key_m));
        if (PyErr_Occurred()) break;
        std::memcpy(out, r, 24);
        std::memcpy(out + 24, v, 24);
        out[48] = static_cast<unsigned char>(probe);
        std::memcpy(out + 49, &m, 8);
    }
    PyBuffer_Release(&view);
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
    if (!key_r || !key_v) return nullptr;
    return PyModule_Create(&definition);
}
