// owned.hpp: the owned-reference type; a raw PyObject * never owns.
#pragma once

#include <Python.h>

#include <utility>

namespace orb {

// Holds one strong reference and releases it when it goes out of scope.
// Acquire only through steal() (a new reference handed over by the C API) or
// borrow() (take a reference of our own to a borrowed pointer).
class Owned {
public:
    Owned() noexcept = default;
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    Owned(Owned &&other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    Owned &operator=(Owned &&other) noexcept {
        std::swap(object_, other.object_);
        other.reset();
        return *this;
    }
    ~Owned() { Py_XDECREF(object_); }

    static Owned steal(PyObject *object) noexcept { return Owned(object); }
    static Owned borrow(PyObject *object) noexcept {
        Py_XINCREF(object);
        return Owned(object);
    }

    PyObject *get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference on: to a return value or to a call that steals it.
    PyObject *release() noexcept { return std::exchange(object_, nullptr); }

    void reset() noexcept { Py_CLEAR(object_); }

private:
    explicit Owned(PyObject *object) noexcept : object_(object) {}
    PyObject *object_ = nullptr;
};

}  // namespace orb
