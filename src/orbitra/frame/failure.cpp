// failure.cpp: the failure location, traceback entries and unraisable reports.
#include "frame/failure.hpp"

#include <optional>
#include <utility>

#include "frame/code_cache.hpp"
#include "frame/compat.hpp"
#include "frame/module_state.hpp"
#include "frame/owned.hpp"

namespace orb {

FailureSite g_failure_location;

Failed record_failure(const FailureSite &site) noexcept {
    g_failure_location = site;
    if (FailureScope *scope = FailureScope::innermost()) scope->site_ = site;
    return {};
}

namespace {

// Shown after the qualified name of every traceback entry as " (file:line)".
constexpr const char kInternalPlaceFormat[] = "%s (%s:%d)";

Owned make_code(PyObject *name, PyObject *file_name, int first_line) noexcept {
    compat::CodeFields fields{0,         0,          g_state.empty_tuple, file_name,
                              name,      first_line, g_state.empty_tuple, g_state.empty_bytes};
    return Owned::steal(compat::new_code_object(fields));
}

Owned make_traceback_code(const char *qualified_name, const FailureSite &site) noexcept {
    Owned file_name = Owned::steal(PyUnicode_FromString(site.source_file));
    if (!file_name) return {};
    Owned name = Owned::steal(PyUnicode_FromFormat(
        kInternalPlaceFormat, qualified_name, site.implementation_file, site.internal_line));
    if (!name) return {};
    return make_code(name.get(), file_name.get(), site.source_line);
}

// Per thread: the code a frame's lookups run may let another thread in.
thread_local bool t_making_recursion_entry ORB_INITIAL_EXEC_TLS = false;

class MakingRecursionEntry {
public:
    MakingRecursionEntry() noexcept { t_making_recursion_entry = true; }
    MakingRecursionEntry(const MakingRecursionEntry &) = delete;
    MakingRecursionEntry &operator=(const MakingRecursionEntry &) = delete;
    ~MakingRecursionEntry() { t_making_recursion_entry = false; }
};

// A frame made with an exception pending fails on 3.8+ for some globals, and the caller's
// frame object may have to be made on 3.11+, so the pending exception is set aside
// meanwhile. If either cannot be made, the original exception is the one that stays pending.
Owned make_traceback_frame(PyObject *code, int line, PyObject *globals) noexcept {
    PendingError pending;
    Owned frame = make_frame(PyThreadState_Get(), code, globals);
    if (frame)
        compat::set_frame_place(reinterpret_cast<PyFrameObject *>(frame.get()), line,
                                PyEval_GetFrame());
    pending.restore();
    return frame;
}

}  // namespace

PyObject *make_synthetic_code(const char *function_name, const char *file_name,
                              int first_line) noexcept {
    Owned function_str = Owned::steal(PyUnicode_FromString(function_name));
    Owned file_str = Owned::steal(PyUnicode_FromString(file_name));
    if (!function_str || !file_str) return nullptr;
    return make_code(function_str.get(), file_str.get(), first_line).release();
}

Owned make_frame(PyThreadState *ts, PyObject *code, PyObject *globals) noexcept {
    const Owned held = Owned::borrow(globals);
    return Owned::steal(reinterpret_cast<PyObject *>(
        PyFrame_New(ts, reinterpret_cast<PyCodeObject *>(code), globals, nullptr)));
}

// Up to 3.11 a pending error may be held as its class and arguments only, its instance made
// when Python code catches it. For a built-in class with built-in arguments, making it runs
// no Python code and is done here; otherwise it is left to the interpreter. A failure to make
// it leaves the error as it was.
void PendingError::make_instance_of_builtin_class() noexcept {
    if (value_ && PyExceptionInstance_Check(value_)) return;
    auto *type = reinterpret_cast<PyTypeObject *>(type_);
    if (!PyExceptionClass_Check(type_) || PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) ||
        (value_ && PyType_HasFeature(Py_TYPE(value_), Py_TPFLAGS_HEAPTYPE)))
        return;
    PendingError made(type_, value_, traceback_);
    PyErr_NormalizeException(&made.type_, &made.value_, &made.traceback_);
    if (made.value_ && PyObject_TypeCheck(made.value_, type)) {
        std::swap(type_, made.type_);
        std::swap(value_, made.value_);
        std::swap(traceback_, made.traceback_);
    }
    PyErr_Clear();
}

bool making_recursion_entry() noexcept { return t_making_recursion_entry; }

bool recursion_would_repeat(PyThreadState *ts, bool frame_failed) noexcept {
    return PyErr_ExceptionMatches(PyExc_RecursionError) &&
           (frame_failed || compat::recursion_limit_reached(ts));
}

void add_traceback_entry(const char *qualified_name, FailureSite site, PyObject *globals) noexcept {
    const bool recursion = PyErr_ExceptionMatches(PyExc_RecursionError);
    if (recursion && t_making_recursion_entry) return;
    std::optional<MakingRecursionEntry> making;
    if (recursion) making.emplace();
    Owned code = Owned::steal(code_cache_find(g_code_cache, site.key));
    if (!code) {
        code = make_traceback_code(qualified_name, site);
        if (!code) return;
        code_cache_insert(g_code_cache, site.key, code.get());
    }
    Owned frame = make_traceback_frame(code.get(), site.source_line, globals);
    if (!frame) return;
    PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
}

void report_unraisable() noexcept {
    PendingError reported;
    Owned context = Owned::steal(PyUnicode_FromString("orbitra.body.Body"));
    reported.restore();
    PyErr_WriteUnraisable(context ? context.get() : Py_None);
}

}  // namespace orb
