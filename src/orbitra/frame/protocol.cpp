// protocol.cpp: global and builtin lookup, attribute fetch, guarded call, add-one.
#include "frame/protocol.hpp"

#include "frame/compat.hpp"
#include "frame/module_state.hpp"

namespace orb {

Owned global_lookup(PyObject *globals, PyObject *name) noexcept {
    const Owned held = Owned::borrow(globals);
    if (Owned value = Owned::steal(compat::dict_lookup(globals, name))) return value;
    if (PyErr_Occurred()) return {};
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
        long small;
        if (compat::long_single_digit_value(number, small))
            return Owned::steal(PyLong_FromLong(small + 1));
        long long two_digits;
        if (compat::long_two_digit_value(number, two_digits))
            return Owned::steal(PyLong_FromLongLong(two_digits + 1));
        return Owned::steal(PyLong_Type.tp_as_number->nb_add(number, g_state.int_1));
    }
    if (Py_TYPE(number) == &PyFloat_Type)
        return Owned::steal(PyFloat_FromDouble(PyFloat_AS_DOUBLE(number) + 1.0));
    return Owned::steal(PyNumber_Add(number, g_state.int_1));
}

}  // namespace orb
