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
    PyObject **slot;
    FailureSite site;
};

const ImportedType kImportedTypes[] = {
    {"builtins", "type", sizeof(PyHeapTypeObject), &g_state.type_type, ORB_SITE("type", 9)},
    {"numpy", "dtype", sizeof(PyArray_Descr), &g_state.numpy_dtype, ORB_SITE("__init__", 155)},
    {"numpy", "flatiter", sizeof(PyArrayIterObject), &g_state.numpy_flatiter,
     ORB_SITE("__init__", 168)},
    {"numpy", "broadcast", kBroadcastSize, &g_state.numpy_broadcast, ORB_SITE("__init__", 172)},
    {"numpy", "ndarray", sizeof(PyArrayObject_fields), &g_state.numpy_ndarray,
     ORB_SITE("__init__", 181)},
    {"numpy", "ufunc", sizeof(PyUFuncObject), &g_state.numpy_ufunc, ORB_SITE("__init__", 861)},
};

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

int import_type(const ImportedType &imported) noexcept {
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
    store_state(*imported.slot, type.release());
    return 0;
}

int make_constants() noexcept {
    store_state(g_state.shape_r, PyTuple_Pack(1, g_state.int_3));
    if (!g_state.shape_r) return ORB_FAIL_AT(1);
    store_state(g_state.shape_v, PyTuple_Pack(1, g_state.int_3));
    if (!g_state.shape_v) return ORB_FAIL_AT(1);
    const Names &n = g_state.names;
    store_state(g_state.body_array_variable_names,
                PyTuple_Pack(4, n.bodies, n.body_array, n.i, n.b));
    if (!g_state.body_array_variable_names) return ORB_FAIL_AT(1);
    compat::CodeFields fields{1, 4, g_state.body_array_variable_names, n.source_path,
                              n.BodyArray, 35, g_state.empty_tuple, g_state.empty_bytes};
    store_state(g_state.body_array_code, compat::new_code_object(fields));
    if (!g_state.body_array_code) return ORB_FAIL_AT(1);
    return 0;
}

int make_small_ints() noexcept {
    store_state(g_state.int_0, PyLong_FromLong(0));
    if (!g_state.int_0) return ORB_FAIL_AT(1);
    store_state(g_state.int_1, PyLong_FromLong(1));
    if (!g_state.int_1) return ORB_FAIL_AT(1);
    store_state(g_state.int_3, PyLong_FromLong(3));
    if (!g_state.int_3) return ORB_FAIL_AT(1);
    return 0;
}

// While start-up runs, the module's __spec__ says that it is initialising, as the __spec__ of
// a module that importlib loads does: an import on another thread that finds the module in
// sys.modules then waits on the module's import lock, which the importing thread holds until
// the load ends, instead of taking a half-made module. The importing thread's own imports (a
// profile hook's) hold that lock already and go on as before. The placeholder None goes back
// before start-up returns, so the dict then holds what it always held.
class InitialisingMarker {
public:
    int set(PyObject *dict) noexcept {
        const Names &n = g_state.names;
        Owned marker = Owned::steal(PyModule_NewObject(n.module_name));
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
        PyErr_Clear();  // a namespace left in place only says "initialising" for longer
        pending.restore();
        marker_.reset();
    }

private:
    Owned marker_;
};

// Registers the module in sys.modules unless something is there already; `registered`
// tells the failure exit that the entry is ours to take back. The key is the interned
// name, so neither the lookup nor the removal needs memory that could fail to come.
int register_module(PyObject *module, InitialisingMarker &marker, bool &registered) noexcept {
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *name = g_state.names.module_name;
    if (PyDict_GetItemWithError(modules, name)) return 0;
    if (PyErr_Occurred()) return ORB_FAIL_AT(1);
    if (marker.set(g_state.module_dict) < 0) return ORB_FAIL_AT(1);
    if (PyDict_SetItem(modules, name, module) < 0) return ORB_FAIL_AT(1);
    registered = true;
    return 0;
}

// A half-made module must not stay importable: a later import would find it in
// sys.modules and succeed without dtype or BodyArray.
void unregister_module(PyObject *module) noexcept {
    PendingError pending;
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *name = g_state.names.module_name;
    if (PyDict_GetItemWithError(modules, name) == module) (void)PyDict_DelItem(modules, name);
    PyErr_Clear();  // nothing more can be done here; the import's own error stands
    pending.restore();
}

// Steps from the module dict to the top-level statements.
int set_up_module(PyObject *module, ProfiledCall &profile, InitialisingMarker &marker,
                  bool &registered) noexcept {
    PyObject *dict = PyModule_GetDict(module);
    if (!dict) return ORB_FAIL_AT(1);
    Py_INCREF(dict);
    store_state(g_state.module_dict, dict);
    g_state.builtins = PyImport_AddModule("builtins");
    if (!g_state.builtins) return ORB_FAIL_AT(1);
    if (PyObject_SetAttrString(module, "__builtins__", g_state.builtins) < 0)
        return ORB_FAIL_AT(1);
    if (fill_name_table() < 0) return ORB_FAIL_AT(1);
    if (make_small_ints() < 0) return -1;
    if (register_module(module, marker, registered) < 0) return -1;
    if (make_constants() < 0) return -1;
    for (const ImportedType &imported : kImportedTypes)
        if (import_type(imported) < 0) return -1;
    profile.start(g_startup_profile);
    if (profile.call_event_failed()) return ORB_FAIL_AT(1);
    return run_module_statements();
}

int make_empty_constants() noexcept {
    store_state(g_state.empty_tuple, PyTuple_New(0));
    if (!g_state.empty_tuple) return ORB_FAIL_AT(1);
    store_state(g_state.empty_bytes, PyBytes_FromStringAndSize("", 0));
    if (!g_state.empty_bytes) return ORB_FAIL_AT(1);
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

// The module state is one per process, so one start-up at a time: Python code that a
// start-up runs (its profile hook, warning filters, numpy's import, during which other
// threads get the interpreter) could otherwise start another, which would replace the state,
// module dict included, under the first; the first would then finish into the other's dict
// and its import would give a module without dtype or BodyArray. The interpreter lock
// guards the flag.
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
    PyObject *module = PyModule_Create2(&g_module_definition, kApiVersion);
    if (!module) {
        ORB_FAIL_AT(1);
        return fail_without_module();
    }
    g_state.module = module;
    ProfiledCall profile;
    InitialisingMarker marker;
    bool registered = false;
    if (set_up_module(module, profile, marker, registered) < 0) {
        // Out of sys.modules before __spec__ stops saying "initialising": a thread that
        // looks in between must not find a half-made module that claims to be done.
        if (registered) unregister_module(module);
        if (g_state.module_dict) {
            marker.restore(g_state.module_dict);
            drop_spec_placeholder(g_state.module_dict);
            add_traceback_entry(kInitName, failures.site());
        }
        g_state.module = nullptr;
        Py_DECREF(module);
        return profile.finish(nullptr);
    }
    marker.restore(g_state.module_dict);
    profile.finish(Py_None);
    return module;
}

}  // namespace

}  // namespace orb

ORB_MODULE_ENTRY PyInit_body(void) { return orb::start_module(); }
