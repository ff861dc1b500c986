// startup.cpp: PyInit_body: version check, module creation and state, NumPy type checks.
#include "frame/startup.hpp"

#include <cstddef>
#include <cstdio>
#include <utility>

// Only the instance sizes of NumPy's types are taken from its headers; no NumPy C API is
// called. The newest target version of the headers in use gives the sizes of the NumPy
// the module is built with.
#define NPY_NO_DEPRECATED_API NPY_API_VERSION
#define NPY_TARGET_VERSION NPY_API_VERSION
#define NO_IMPORT_ARRAY
#define NO_IMPORT_UFUNC
#include <numpy/ndarraytypes.h>
#include <numpy/ufuncobject.h>

#include "frame/compat.hpp"
#include "frame/failure.hpp"
#include "frame/module_state.hpp"
#include "frame/owned.hpp"
#include "frame/profiling.hpp"

namespace orb {

namespace {

constexpr const char kModuleName[] = "orbitra.body";
constexpr const char kInitName[] = "init orbitra.body";
constexpr int kApiVersion = 1013;

PyModuleDef g_module_definition = {
    PyModuleDef_HEAD_INIT, "body", kModuleDoc, -1, kModuleMethods, nullptr, nullptr, nullptr,
    nullptr};

ProfiledOperation g_startup_profile{"PyMODINIT_FUNC PyInit_body(void)", kModuleSource, 1,
                                    nullptr};

#define ORB_TEXT_OF(value) #value
#define ORB_TEXT(value) ORB_TEXT_OF(value)

// Only the first and third characters of "major.minor" are compared, so 3.10 and 3.1x
// read alike; built from the headers in use, the check is silent on the same interpreter.
// Both versions are cut to three characters by the precision, not by the buffer, so no
// compiler sees a truncated write.
int check_interpreter_version() noexcept {
    char built[4], running[4];
    if (std::snprintf(built, sizeof built, "%.3s",
                      ORB_TEXT(PY_MAJOR_VERSION) "." ORB_TEXT(PY_MINOR_VERSION)) < 0 ||
        std::snprintf(running, sizeof running, "%.3s", Py_GetVersion()) < 0)
        return 0;
    if (built[0] == running[0] && built[2] == running[2]) return 0;
    char message[200];
    if (std::snprintf(message, sizeof message,
                      "compiletime version %s of module '%.100s' does not match runtime version %s",
                      built, kModuleName, running) < 0)
        return 0;
    return PyErr_WarnEx(nullptr, message, 1);
}

#undef ORB_TEXT
#undef ORB_TEXT_OF

// NumPy's headers declare broadcast's iterator array short for C++ (its length varies
// with the NumPy ABI); the instance holds NPY_MAXARGS of them.
constexpr Py_ssize_t kBroadcastSize =
    offsetof(PyArrayMultiIterObject, iters) + NPY_MAXARGS * sizeof(PyArrayIterObject *);

struct ImportedType {
    const char *module;
    const char *name;
    Py_ssize_t built_size;
    PyObject *ModuleState::*published;
    FailureSite site;
};

const ImportedType kImportedTypes[] = {
    {"builtins", "type", sizeof(PyHeapTypeObject), &ModuleState::type_type, ORB_SITE("type", 9)},
    {"numpy", "dtype", sizeof(PyArray_Descr), &ModuleState::numpy_dtype, ORB_SITE("__init__", 155)},
    {"numpy", "flatiter", sizeof(PyArrayIterObject), &ModuleState::numpy_flatiter,
     ORB_SITE("__init__", 168)},
    {"numpy", "broadcast", kBroadcastSize, &ModuleState::numpy_broadcast,
     ORB_SITE("__init__", 172)},
    {"numpy", "ndarray", sizeof(PyArrayObject_fields), &ModuleState::numpy_ndarray,
     ORB_SITE("__init__", 181)},
    {"numpy", "ufunc", sizeof(PyUFuncObject), &ModuleState::numpy_ufunc,
     ORB_SITE("__init__", 861)},
};
constexpr int kImportedTypeCount = sizeof kImportedTypes / sizeof *kImportedTypes;

// The types one start-up imported and checked, held until it publishes or drops them.
using CheckedTypes = Owned[kImportedTypeCount];

PyObject *checked_type(const CheckedTypes &checked, PyObject *ModuleState::*which) noexcept {
    for (int index = 0; index < kImportedTypeCount; ++index)
        if (kImportedTypes[index].published == which) return checked[index].get();
    return nullptr;
}

int check_type_size(const ImportedType &imported, PyTypeObject *type) noexcept {
    const Py_ssize_t size = type->tp_basicsize;
    if (size == imported.built_size) return 0;
    if (size > imported.built_size) {
        char warning[200];
        if (std::snprintf(warning, sizeof warning,
                          "%s.%s size changed, may indicate binary incompatibility. "
                          "Expected %zd, got %zd",
                          imported.module, imported.name, imported.built_size, size) < 0)
            return 0;
        return PyErr_WarnEx(nullptr, warning, 0);
    }
    PyErr_Format(PyExc_ValueError,
                 "%.200s.%.200s has the wrong size, try recompiling. Expected %zd, got %zd",
                 imported.module, imported.name, imported.built_size, size);
    return -1;
}

int import_type(const ImportedType &imported, Owned &checked) noexcept {
    Owned module_name = Owned::steal(PyUnicode_FromString(imported.module));
    if (!module_name) return record_failure(imported.site);
    Owned module = Owned::steal(PyImport_Import(module_name.get()));
    if (!module) return record_failure(imported.site);
    Owned type = Owned::steal(PyObject_GetAttrString(module.get(), imported.name));
    if (!type) return record_failure(imported.site);
    if (!PyType_Check(type.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", imported.module,
                     imported.name);
        return record_failure(imported.site);
    }
    if (check_type_size(imported, reinterpret_cast<PyTypeObject *>(type.get())) < 0)
        return record_failure(imported.site);
    checked = std::move(type);
    return 0;
}

int make_constants() noexcept {
    const Names &n = g_state.names;
    if (make_once(g_state.shape_r, [] { return PyTuple_Pack(1, g_state.int_3); }) < 0)
        return ORB_FAIL_AT(1);
    if (make_once(g_state.shape_v, [] { return PyTuple_Pack(1, g_state.int_3); }) < 0)
        return ORB_FAIL_AT(1);
    if (make_once(g_state.body_array_variable_names,
                  [&] { return PyTuple_Pack(4, n.bodies, n.body_array, n.i, n.b); }) < 0)
        return ORB_FAIL_AT(1);
    if (make_once(g_state.body_array_code, [&] {
            compat::CodeFields fields{1,  4, g_state.body_array_variable_names, n.source_path,
                                      n.BodyArray, 35, g_state.empty_tuple, g_state.empty_bytes};
            return compat::new_code_object(fields);
        }) < 0)
        return ORB_FAIL_AT(1);
    return 0;
}

int make_small_ints() noexcept {
    if (make_once(g_state.int_0, [] { return PyLong_FromLong(0); }) < 0) return ORB_FAIL_AT(1);
    if (make_once(g_state.int_1, [] { return PyLong_FromLong(1); }) < 0) return ORB_FAIL_AT(1);
    if (make_once(g_state.int_3, [] { return PyLong_FromLong(3); }) < 0) return ORB_FAIL_AT(1);
    return 0;
}

// While start-up runs, the module's __spec__ says that it is initialising, as the __spec__ of
// a module that importlib loads does: an import on another thread that finds the module in
// sys.modules then waits on the module's import lock, which the importing thread holds until
// the load ends, instead of taking a half-made module. The importing thread's own imports (a
// profile hook's) hold that lock already and go on as before. It is a real ModuleSpec, so
// that whatever shows the module meanwhile (its repr, importlib.util.find_spec) reads it as
// any module in the middle of its import. The placeholder None goes back before start-up
// returns, so the dict then holds what it always held.
class InitialisingMarker {
public:
    int set(PyObject *dict) noexcept {
        const Names &n = g_state.names;
        Owned bootstrap = Owned::steal(PyImport_ImportModule("_frozen_importlib"));
        if (!bootstrap) return -1;
        Owned spec_type = Owned::steal(PyObject_GetAttrString(bootstrap.get(), "ModuleSpec"));
        if (!spec_type) return -1;
        bootstrap.reset();
        Owned marker = Owned::steal(
            PyObject_CallFunctionObjArgs(spec_type.get(), n.module_name, Py_None, nullptr));
        if (!marker || PyObject_SetAttr(marker.get(), n.initializing, Py_True) < 0 ||
            PyDict_SetItem(dict, n.dunder_spec, marker.get()) < 0)
            return -1;
        marker_ = std::move(marker);
        return 0;
    }

    // Unless Python code that start-up ran has put another __spec__ there meanwhile.
    void restore(PyObject *dict) noexcept {
        if (!marker_) return;
        PendingError pending;
        PyObject *key = g_state.names.dunder_spec;
        if (PyDict_GetItemWithError(dict, key) == marker_.get()) (void)PyDict_SetItem(dict, key, Py_None);
        PyErr_Clear();  // a marker left in place only says "initialising" for longer
        pending.restore();
        marker_.reset();
    }

private:
    Owned marker_;
};

// Registers the module in sys.modules unless something is there already; `registered`
// tells the exits that the entry is ours to take back. The key is the interned name, so
// neither the lookup nor the removal needs memory that could fail to come.
int register_module(PyObject *module, PyObject *dict, InitialisingMarker &marker,
                    bool &registered) noexcept {
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *name = g_state.names.module_name;
    if (PyDict_GetItemWithError(modules, name)) return 0;
    if (PyErr_Occurred()) return ORB_FAIL_AT(1);
    if (marker.set(dict) < 0) return ORB_FAIL_AT(1);
    if (PyDict_SetItem(modules, name, module) < 0) return ORB_FAIL_AT(1);
    registered = true;
    return 0;
}

// The entry made for the start-up's own sake goes when the start-up ends. A half-made
// module must not stay importable: a later import would find it in sys.modules and succeed
// without dtype or BodyArray. A whole one is registered by the import system that asked for
// it, which may be another interpreter's: from CPython 3.13 a legacy sub-interpreter's first
// import runs start-up in the main interpreter, whose sys.modules would otherwise keep a
// module that its import system never loaded.
void unregister_module(PyObject *module) noexcept {
    PendingError pending;
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *name = g_state.names.module_name;
    if (PyDict_GetItemWithError(modules, name) == module) (void)PyDict_DelItem(modules, name);
    PyErr_Clear();  // nothing more can be done here; the import's own error or result stands
    pending.restore();
}

// builtins: the interpreter's, set on the module as __builtins__; the global lookups fall
// back to the one that the first start-up found, held for the process.
int set_builtins(PyObject *module) noexcept {
    PyObject *builtins = PyImport_AddModule("builtins");
    if (!builtins) return -1;
    if (make_once(g_state.builtins, [builtins] { return Owned::borrow(builtins).release(); }) < 0)
        return -1;
    return PyObject_SetAttrString(module, "__builtins__", builtins);
}

int check_types(CheckedTypes &checked) noexcept {
    for (int index = 0; index < kImportedTypeCount; ++index)
        if (import_type(kImportedTypes[index], checked[index]) < 0) return -1;
    return 0;
}

// Steps from the module dict to the top-level statements.
int set_up_module(ModuleUnderConstruction &made, CheckedTypes &checked, ProfiledCall &profile,
                  InitialisingMarker &marker, bool &registered) noexcept {
    if (set_builtins(made.module) < 0) return ORB_FAIL_AT(1);
    if (fill_name_table() < 0) return ORB_FAIL_AT(1);
    if (make_small_ints() < 0) return -1;
    if (register_module(made.module, made.dict, marker, registered) < 0) return -1;
    if (make_constants() < 0) return -1;
    if (check_types(checked) < 0) return -1;
    made.numpy_dtype = checked_type(checked, &ModuleState::numpy_dtype);
    profile.start(g_startup_profile, made.dict);
    if (profile.call_event_failed()) return ORB_FAIL_AT(1);
    return run_module_statements(made);
}

// The first start-up that succeeds publishes what it made, whole; later ones keep theirs
// to their own module, and what was published stays.
void publish(ModuleUnderConstruction &made, CheckedTypes &checked) noexcept {
    if (g_state.module_dict) return;
    for (int index = 0; index < kImportedTypeCount; ++index)
        g_state.*kImportedTypes[index].published = checked[index].release();
    g_state.record_dtype = made.record_dtype.release();
    g_state.numpy_wraps_integers = made.numpy_wraps_integers;
    g_state.module_dict = Owned::borrow(made.dict).release();
}

int make_empty_constants() noexcept {
    if (make_once(g_state.empty_tuple, [] { return PyTuple_New(0); }) < 0) return ORB_FAIL_AT(1);
    if (make_once(g_state.empty_bytes, [] { return PyBytes_FromStringAndSize("", 0); }) < 0)
        return ORB_FAIL_AT(1);
    return 0;
}

// Only where linecache would warn about it (see compat.hpp); elsewhere the dict keeps
// both placeholders, as the traceback entry's globals.
void drop_spec_placeholder(PyObject *dict) noexcept {
    if constexpr (compat::kFailedModuleDropsSpec) {
        PendingError pending;
        Owned key = Owned::steal(PyUnicode_InternFromString("__spec__"));
        if (!key || PyDict_GetItemWithError(dict, key.get()) != Py_None ||
            PyDict_DelItem(dict, key.get()) < 0)
            PyErr_Clear();  // a placeholder left in place costs only the warning
        pending.restore();
    } else {
        (void)dict;
    }
}

PyObject *fail_without_module() noexcept {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, kInitName);
    return nullptr;
}

// One start-up at a time: Python code that a start-up runs (its profile hook, warning
// filters, numpy's import, during which other threads get the interpreter) could otherwise
// start another over the same name in sys.modules, and the two would take each other's
// entry and initialising marker. The interpreter lock guards the flag.
class StartupRunning {
public:
    StartupRunning() noexcept : refused_(running_) { running_ = true; }
    StartupRunning(const StartupRunning &) = delete;
    StartupRunning &operator=(const StartupRunning &) = delete;
    ~StartupRunning() {
        if (!refused_) running_ = false;
    }
    bool refused() const noexcept { return refused_; }

private:
    static inline bool running_ = false;
    const bool refused_;
};

PyObject *start_module() noexcept {
    const StartupRunning startup;
    if (startup.refused()) {
        PyErr_SetString(PyExc_ImportError,
                        "orbitra.body is already being initialised; it cannot be imported "
                        "again until that start-up ends");
        return nullptr;
    }
    const FailureScope failures;
    if (check_interpreter_version() < 0) {
        ORB_FAIL_AT(1);
        return fail_without_module();
    }
    if (make_empty_constants() < 0) return fail_without_module();
    Owned module = Owned::steal(PyModule_Create2(&g_module_definition, kApiVersion));
    if (!module) {
        ORB_FAIL_AT(1);
        return fail_without_module();
    }
    ModuleUnderConstruction made{module.get(), PyModule_GetDict(module.get()), nullptr, {}, false};
    CheckedTypes checked;
    ProfiledCall profile;
    InitialisingMarker marker;
    bool registered = false;
    if (set_up_module(made, checked, profile, marker, registered) < 0) {
        // Out of sys.modules before __spec__ stops saying "initialising": a thread that
        // looks in between must not find a half-made module that claims to be done.
        if (registered) unregister_module(module.get());
        marker.restore(made.dict);
        drop_spec_placeholder(made.dict);
        add_traceback_entry(kInitName, failures.site(), made.dict);
        module.reset();
        return profile.finish(nullptr);
    }
    marker.restore(made.dict);
    publish(made, checked);
    profile.finish(Py_None);
    if (registered) unregister_module(module.get());
    return module.release();
}

}  // namespace

}  // namespace orb

ORB_MODULE_ENTRY PyInit_body(void) { return orb::start_module(); }
