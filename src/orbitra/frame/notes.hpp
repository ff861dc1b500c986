// notes.hpp: notes that say, in the caller's terms, where a call failed: which argument of
// Body, which element and field of BodyArray's input. A note joins the pending exception's
// __notes__ as BaseException.add_note adds it (shown under the message from 3.11); the
// exception, its message and its traceback stay what they were. Failure paths only.
#pragma once

#include <Python.h>

#include "frame/compat.hpp"
#include "frame/failure.hpp"

namespace orb {

// Body's argument `name` (one of the interned parameter names) did not convert.
ORB_COLD void note_argument_failure(PyObject *name) noexcept;

// Reading (or else storing) `field` of `item`, element `index` (an exact int) of BodyArray's
// input, failed.
// Gives the failure on.
ORB_COLD Failed note_element_failure(PyObject *field, PyObject *item, PyObject *index,
                                     bool reading) noexcept;

}  // namespace orb
