// startup.hpp: what the module supplies to start-up, which the frame runs.
#pragma once

#include <Python.h>

#include "frame/owned.hpp"

namespace orb {

extern const char kModuleDoc[];
extern PyMethodDef kModuleMethods[];

// The module one start-up is making, and what that start-up found and made on its way;
// published to the module state only if the start-up succeeds and none did before.
struct ModuleUnderConstruction {
    PyObject *module;       // held by start-up
    PyObject *dict;         // the module's own, which it holds
    PyObject *numpy_dtype;  // held by start-up once checked
    Owned record_dtype;
    bool numpy_wraps_integers = false;
};

// The module's top-level statements, run once the module, its state and the NumPy type
// checks are in place. Returns 0, or -1 with the failure location recorded.
int run_module_statements(ModuleUnderConstruction &made) noexcept;

}  // namespace orb
