// startup.hpp: what the module supplies to start-up, which the frame runs.
#pragma once

#include <Python.h>

namespace orb {

extern const char kModuleDoc[];
extern PyMethodDef kModuleMethods[];

// The module's top-level statements, run once the module, its state and the NumPy type
// checks are in place. Returns 0, or -1 with the failure location recorded.
int run_module_statements() noexcept;

}  // namespace orb
