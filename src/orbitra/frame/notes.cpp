// notes.cpp: the notes on Body's and BodyArray's failures, and adding one to the pending
// exception without running any Python code.
#include "frame/notes.hpp"

#include <cstdarg>

#include "frame/failure.hpp"
#include "frame/module_state.hpp"
#include "frame/owned.hpp"

namespace orb {

namespace {

// BodyArray's input, as its notes describe it.
constexpr const char kBodyArrayTakes[] =
    "BodyArray takes an iterable of mappings with the keys 'm', 'r', 'v' and 'probe'";

const char *what_takes(PyObject *name) noexcept {
    const Names &n = g_state.names;
    if (name == n.probe) return "an integer from -128 to 127";
    if (name == n.r || name == n.v) return "3 real numbers";
    return "a real number";
}

// Looking a name up in a dict compares it with the keys of the same hash: an exact str
// compares in C; any other key may run Python code (its __eq__, a BytesWarning's hook).
bool only_str_keys(PyObject *dict) noexcept {
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &position, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    return true;
}

// BaseException.add_note reads and writes __notes__ as any attribute is read and written, so
// a class's own __getattribute__, __getattr__ or __setattr__, a class attribute __notes__
// (a property, say), or a key other than a str in a class or instance dict could run the
// caller's code; such an exception gets no note.
bool notes_stored_plainly(PyObject *exception, PyObject *notes_name) noexcept {
    PyTypeObject *type = Py_TYPE(exception);
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr)
        return false;
    PyObject *bases = type->tp_mro;
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(bases); ++index) {
        auto *base = reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(bases, index));
        if (!PyType_HasFeature(base, Py_TPFLAGS_HEAPTYPE)) continue;  // no __notes__ of its own
        if (!only_str_keys(base->tp_dict) || PyDict_Contains(base->tp_dict, notes_name) != 0)
            return false;
    }
    PyObject *instance_dict = reinterpret_cast<PyBaseExceptionObject *>(exception)->dict;
    return !instance_dict || only_str_keys(instance_dict);
}

// BaseException's own add_note, not one a subclass put in its place.
void append_note(PyObject *exception, PyObject *note) noexcept {
    Owned notes_name = Owned::steal(PyUnicode_InternFromString("__notes__"));
    if (!notes_name || !notes_stored_plainly(exception, notes_name.get())) return;
    Owned add_note = Owned::steal(PyObject_GetAttrString(PyExc_BaseException, "add_note"));
    if (!add_note) return;
    Owned added = Owned::steal(PyObject_CallFunctionObjArgs(add_note.get(), exception, note, nullptr));
}

// Adds the note that `format` makes (PyUnicode_FromFormat's) to the pending exception. An
// error while making it is dropped: the exception raised stays the one that was pending.
void add_note(const char *format, ...) noexcept {
    if (!compat::kExceptionsShowNotes || !PyErr_Occurred()) return;
    PendingError error;  // put back whatever happens meanwhile
    error.make_instance_of_builtin_class();
    if (error.value() && PyExceptionInstance_Check(error.value())) {
        va_list arguments;
        va_start(arguments, format);
        Owned note = Owned::steal(PyUnicode_FromFormatV(format, arguments));
        va_end(arguments);
        if (note) append_note(error.value(), note.get());
    }
    error.restore();
}

}  // namespace

void note_argument_failure(PyObject *name) noexcept {
    add_note("while converting Body argument '%U' (%s)", name, what_takes(name));
}

Failed note_element_failure(PyObject *field, PyObject *item, PyObject *index, bool reading) noexcept {
    if (reading)
        add_note("while reading field '%U' of element %S of BodyArray's input, of type '%s': %s%s",
                 field, index, Py_TYPE(item)->tp_name, kBodyArrayTakes,
                 PyUnicode_Check(item) ? " (a single mapping passed alone is iterated over its keys)" : "");
    else
        add_note("while storing field '%U' (%s) of element %S of BodyArray's input", field,
                 what_takes(field), index);
    return {};
}

}  // namespace orb
