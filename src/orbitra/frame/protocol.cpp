// protocol.cpp: global and builtin lookup, attribute fetch, guarded call, add-one.
#include "frame/protocol.hpp"

#include "frame/compat.hpp"
#include "frame/module_state.hpp"

namespace orb {

Owned global_lookup(PyObject *name) noexcept {
    if (PyObject *value = PyDict_GetItem(g_state.module_dict, name)) return Owned::borrow(value);
    return builtin_lookup(name);
}

Owned builtin_lookup(PyObject *name) noexcept {
    Owned value = attribute_fetch(g_state.builtins, name);
    if (!value) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return value;
}

Owned attribute_fetch(PyObject *object, PyObject *name) noexcept {
    if (getattrofunc getattro = Py_TYPE(object)->tp_getattro)
        return Owned::steal(getattro(object, name));
    return Owned::steal(PyObject_GetAttr(object, name));
}

Owned guarded_call(PyObject *callable, PyObject *args, PyObject *kwargs) noexcept {
    ternaryfunc call = Py_TYPE(callable)->tp_call;
    if (!call) return Owned::steal(PyObject_Call(callable, args, kwargs));
    if (compat::enter_recursive_call()) return {};
    Owned result = Owned::steal(call(callable, args, kwargs));
    compat::leave_recursive_call();
    if (!result && !PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    return result;
}

Owned add_one(PyObject *number) noexcept {
    if (Py_TYPE(number) == &PyLong_Type) {
        const Py_ssize_t size = compat::long_signed_digit_count(number);
        switch (size) {
        case -1:
            return Owned::steal(PyLong_FromLong(1 - static_cast<long>(compat::long_digit(number, 0))));
        case 0:
            return Owned::steal(PyLong_FromLong(1));
        case 1:
            return Owned::steal(PyLong_FromLong(static_cast<long>(compat::long_digit(number, 0)) + 1));
        case 2:
        case -2: {
            const long long magnitude =
                (static_cast<long long>(compat::long_digit(number, 1)) << PyLong_SHIFT) |
                compat::long_digit(number, 0);
            return Owned::steal(PyLong_FromLongLong((size < 0 ? -magnitude : magnitude) + 1));
        }
        default:
            return Owned::steal(PyLong_Type.tp_as_number->nb_add(number, g_state.int_1));
        }
    }
    if (Py_TYPE(number) == &PyFloat_Type)
        return Owned::steal(PyFloat_FromDouble(PyFloat_AS_DOUBLE(number) + 1.0));
    return Owned::steal(PyNumber_Add(number, g_state.int_1));
}

}  // namespace orb
