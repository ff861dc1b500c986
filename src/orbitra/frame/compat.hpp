// compat.hpp: every difference between the interpreter versions we build for (3.8 to 3.15),
// and between the compilers and object formats we build with (GCC and clang on ELF, clang on
// Mach-O, MSVC on PE). One block per difference, each naming the version or toolchain; the
// rest of the module reads the same everywhere.
#pragma once

#include <Python.h>
#include <frameobject.h>

// ---------------------------------------------------------------------------------------
// Compiler hints. GCC and clang (both define __GNUC__) take GNU attributes; MSVC warns about
// an attribute it does not know (C5030), which /WX makes an error, so there they are dropped,
// except noinline, which it spells __declspec(noinline). A failure path kept out of line
// leaves the registers of the loop it leaves as they were without it.
// The initial-exec TLS model is ELF's: a variable of a dlopen'ed library is then a plain load
// from the thread pointer, not a call to __tls_get_addr, at the price of a few bytes of the
// static TLS reserve. Mach-O (one TLS model) and PE (implicit TLS slots, usable in a library
// loaded at run time since Windows Vista) have no such choice to make.
#if defined(__GNUC__)
#define ORB_COLD [[gnu::cold]]
#define ORB_ALWAYS_INLINE [[gnu::always_inline]] inline
#define ORB_NOINLINE [[gnu::noinline]]
#elif defined(_MSC_VER)
#define ORB_COLD
#define ORB_ALWAYS_INLINE __forceinline
#define ORB_NOINLINE __declspec(noinline)
#else
#define ORB_COLD
#define ORB_ALWAYS_INLINE inline
#define ORB_NOINLINE
#endif
#if defined(__GNUC__) && defined(__ELF__)
#define ORB_INITIAL_EXEC_TLS [[gnu::tls_model("initial-exec")]]
#else
#define ORB_INITIAL_EXEC_TLS
#endif

// 3.9 made PyMODINIT_FUNC export the entry point; 3.8's leaves it to the default
// visibility, which this module builds hidden on ELF and Mach-O. On Windows, 3.8's
// PyMODINIT_FUNC already carries __declspec(dllexport).
#if PY_VERSION_HEX < 0x03090000 && defined(__GNUC__)  // 3.9
#define ORB_MODULE_ENTRY extern "C" __attribute__((visibility("default"))) PyObject *
#else
#define ORB_MODULE_ENTRY PyMODINIT_FUNC
#endif

namespace orb::compat {

// ---------------------------------------------------------------------------------------
// Profiling flags of the thread state.
// 3.8-3.9: `use_tracing` is an int flag on the thread state (0/1).
// 3.10:    it moved into the CFrame, still an int flag.
// 3.11:    still in the CFrame, but a uint8 that ceval or's into every opcode: only 0 and
//          255 are legal and writing 1 corrupts dispatch, so it is changed only through
//          PyThreadState_EnterTracing/LeaveTracing, which recompute it.
// 3.12+:   gone (sys.monitoring). "Set" means some hook is installed; Enter/LeaveTracing
//          only move `tracing`, which still silences the monitoring callbacks.
// `tracing`, `c_profilefunc`, `c_tracefunc`, `c_profileobj` and Enter/LeaveTracing are
// unchanged in Include/cpython/pystate.h of 3.14 and 3.15.

#if PY_VERSION_HEX >= 0x030C0000  // 3.12
inline bool tracing_flag_set(PyThreadState *ts) noexcept {
    return ts->c_profilefunc != nullptr || ts->c_tracefunc != nullptr;
}
inline bool profile_hook_active(PyThreadState *ts) noexcept {
    return ts->tracing == 0 && ts->c_profilefunc != nullptr;
}
#else
#if PY_VERSION_HEX >= 0x030A0000  // 3.10
inline auto &use_tracing(PyThreadState *ts) noexcept { return ts->cframe->use_tracing; }
#else
inline int &use_tracing(PyThreadState *ts) noexcept { return ts->use_tracing; }
#endif
inline bool tracing_flag_set(PyThreadState *ts) noexcept { return use_tracing(ts) != 0; }
inline bool profile_hook_active(PyThreadState *ts) noexcept {
    return use_tracing(ts) != 0 && ts->tracing == 0 && ts->c_profilefunc != nullptr;
}
#endif

#if PY_VERSION_HEX >= 0x030B0000  // 3.11
inline void enter_profile_hook(PyThreadState *ts) noexcept { PyThreadState_EnterTracing(ts); }
inline void leave_profile_hook_after_call(PyThreadState *ts) noexcept {
    PyThreadState_LeaveTracing(ts);
}
// 3.5 set the flag unconditionally here; on 3.11 a 255 left without a hook makes every
// opcode take the tracing path, so the flag is recomputed instead (no event differs).
inline void leave_profile_hook_after_return(PyThreadState *ts) noexcept {
    PyThreadState_LeaveTracing(ts);
}
#else
inline void enter_profile_hook(PyThreadState *ts) noexcept {
    ts->tracing++;
    use_tracing(ts) = 0;
}
// The hook may have removed itself. A trace function still installed keeps the flag set:
// 3.10 would otherwise stop calling it for good, until tracing is set again.
inline void leave_profile_hook_after_call(PyThreadState *ts) noexcept {
    use_tracing(ts) = ts->c_profilefunc != nullptr || ts->c_tracefunc != nullptr;
    ts->tracing--;
}
inline void leave_profile_hook_after_return(PyThreadState *ts) noexcept {
    ts->tracing--;
    use_tracing(ts) = 1;
}
#endif

// ---------------------------------------------------------------------------------------
// Frames made by the module: their line, and the frame they name as their caller (f_back),
// which profilers such as profile.Profile follow to match calls with returns.
// Up to 3.10 both are public fields; PyFrame_New set f_back to the running Python frame.
// From 3.11 the struct is internal, the line comes from the code object, whose first line
// already carries it, and PyFrame_New leaves f_back empty; f_back is still the first field
// after the object header, and the frame releases it when it goes
// (Include/internal/pycore_frame.h, 3.11 to 3.15). PyFrame_New (Include/cpython/
// frameobject.h) and PyEval_GetFrame (Include/ceval.h) are public up to 3.15.

inline void set_frame_place(PyFrameObject *frame, int line, PyFrameObject *caller) noexcept {
#if PY_VERSION_HEX >= 0x030B0000  // 3.11
    (void)line;
    struct FrameHead {
        PyObject_HEAD
        PyFrameObject *f_back;
    };
    PyFrameObject **back = &reinterpret_cast<FrameHead *>(frame)->f_back;
#else
    frame->f_lineno = line;
    PyFrameObject **back = &frame->f_back;
#endif
    PyFrameObject *previous = *back;
    Py_XINCREF(caller);
    *back = caller;
    Py_XDECREF(previous);
}

// ---------------------------------------------------------------------------------------
// Code objects without a body of their own.
// Up to 3.10 empty bytecode and an empty line table make the first line the frame's line.
// From 3.11 a frame over empty bytecode has no line at all, which breaks every traceback
// printer; such code objects borrow the three-instruction body and one-entry line table of
// PyCode_NewEmpty, which map every position to the first line. 3.11 takes the 17-argument
// PyCode_New; 3.12 renamed it PyUnstable_Code_New. Its 17 arguments, co_stacksize,
// co_linetable, PyCode_NewEmpty and PyCode_GetCode are unchanged in Include/cpython/code.h
// of 3.14 and 3.15.

struct CodeFields {
    int argument_count;
    int local_count;
    PyObject *variable_names;  // tuple
    PyObject *file_name;       // str
    PyObject *name;            // str
    int first_line;
    PyObject *empty_tuple;
    PyObject *empty_bytes;
};

#if PY_VERSION_HEX >= 0x030B0000  // 3.11
// The body and line table of an empty code object, made once and kept for the process.
inline PyCodeObject *empty_code_template() noexcept {
    static PyCodeObject *template_code = nullptr;
    if (!template_code) template_code = PyCode_NewEmpty("", "", 1);
    return template_code;
}
#endif

inline PyObject *new_code_object(const CodeFields &f) noexcept {
#if PY_VERSION_HEX >= 0x030B0000  // 3.11
    PyCodeObject *empty = empty_code_template();
    if (!empty) return nullptr;
    PyObject *body = PyCode_GetCode(empty);
    if (!body) return nullptr;
    const int stack_size = empty->co_stacksize > 1 ? empty->co_stacksize : 1;
#if PY_VERSION_HEX >= 0x030C0000  // 3.12
    PyCodeObject *code = PyUnstable_Code_New(
#else
    PyCodeObject *code = PyCode_New(
#endif
        f.argument_count, 0, f.local_count, stack_size, 0, body, f.empty_tuple, f.empty_tuple,
        f.variable_names, f.empty_tuple, f.empty_tuple, f.file_name, f.name, f.name,
        f.first_line, empty->co_linetable, f.empty_bytes);
    Py_DECREF(body);
    return reinterpret_cast<PyObject *>(code);
#else
    return reinterpret_cast<PyObject *>(PyCode_New(
        f.argument_count, 0, f.local_count, 0, 0, f.empty_bytes, f.empty_tuple, f.empty_tuple,
        f.variable_names, f.empty_tuple, f.empty_tuple, f.file_name, f.name, f.first_line,
        f.empty_bytes));
#endif
}

// ---------------------------------------------------------------------------------------
// Silent dict lookup: a new reference to dict[key], or null when the key is missing or
// comparing keys raised; it leaves no error of its own but a RecursionError (taking the
// lookup for a miss would run on at the depth that raised it), and an error that was
// already pending stays as it was. Up to 3.12 PyDict_GetItem was that lookup (borrowed);
// 3.13 made it report comparison errors through sys.unraisablehook, so the lookup is
// built from PyDict_GetItemWithError there and PyDict_GetItemRef (3.13) from then on
// (Include/dictobject.h, 3.13 to 3.15).

// The same lookup for a caller that knows no error is pending.
inline PyObject *dict_lookup_with_no_error_pending(PyObject *dict, PyObject *key) noexcept {
    PyObject *value;
#if PY_VERSION_HEX >= 0x030D0000  // 3.13
    const bool failed = PyDict_GetItemRef(dict, key, &value) < 0;
#else
    value = PyDict_GetItemWithError(dict, key);
    Py_XINCREF(value);
    const bool failed = !value && PyErr_Occurred();
#endif
    if (failed && !PyErr_ExceptionMatches(PyExc_RecursionError)) PyErr_Clear();
    return value;
}

inline PyObject *dict_lookup(PyObject *dict, PyObject *key) noexcept {
    if (!PyErr_Occurred()) return dict_lookup_with_no_error_pending(dict, key);
    PyObject *pending_type = nullptr, *pending_value = nullptr, *pending_traceback = nullptr;
    PyErr_Fetch(&pending_type, &pending_value, &pending_traceback);
    PyObject *value = dict_lookup_with_no_error_pending(dict, key);
    PyErr_Restore(pending_type, pending_value, pending_traceback);
    return value;
}

// dict[key] as the dict's own subscript looks it up for an exact dict (which has no
// __missing__): the same lookup, so the same key comparisons in the same order. A borrowed
// reference, or null with the comparison's error or KeyError(key); for a key that is not
// a tuple (KeyError would unpack one). The same call on every version this module builds
// for; borrowing is sound because the free-threaded builds are not among them.
inline PyObject *exact_dict_subscript_borrowed(PyObject *dict, PyObject *key) noexcept {
    PyObject *value = PyDict_GetItemWithError(dict, key);
    if (!value && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
    return value;
}

// ---------------------------------------------------------------------------------------
// The __spec__ of a module whose start-up failed. PyModule_Create sets __spec__ and
// __loader__ to None, and the import machinery fills them in only once start-up succeeds.
// 3.15's linecache (_bless_my_loader, Lib/linecache.py) warns "Module globals is missing a
// __spec__.loader" about every frame whose globals hold a __spec__ without a loader, so a
// traceback through the failed start-up would be printed behind that warning, or replaced
// by it under an "error" filter. Globals without the key __spec__ and with a __loader__ of
// None it passes over silently. Up to 3.14 a __spec__ of None is passed over as well.

#if PY_VERSION_HEX >= 0x030F0000  // 3.15
inline constexpr bool kFailedModuleDropsSpec = true;
#else
inline constexpr bool kFailedModuleDropsSpec = false;
#endif

// ---------------------------------------------------------------------------------------
// Exception notes. 3.11 added BaseException.add_note, which keeps them in the instance's
// __notes__, and the traceback printers that show them under the message; before 3.11 a note
// would be an attribute nothing shows, so none is added (Objects/exceptions.c, 3.11 to 3.15).

#if PY_VERSION_HEX >= 0x030B0000  // 3.11
inline constexpr bool kExceptionsShowNotes = true;
#else
inline constexpr bool kExceptionsShowNotes = false;
#endif

// ---------------------------------------------------------------------------------------
// Recursion guard around a call.
// 3.8 still has the 3.5 fields: the depth counter, the overflow flag and the public
// _Py_CheckRecursionLimit, so the guard is written out as 3.5 did it.
// 3.9 moved the limit into the interpreter state and made Py_Enter/LeaveRecursiveCall
// functions; 3.10 dropped the overflow flag, 3.11 the depth counter, and 3.12 counts the
// C stack against a fixed limit. From 3.9 the interpreter's own guard is the equivalent
// (public in Include/ceval.h up to 3.15).

inline constexpr const char kRecursionWhere[] = " while calling a Python object";

#if PY_VERSION_HEX < 0x03090000  // 3.9
// Non-zero when the limit is exceeded; the error is set and the increase taken back.
inline int enter_recursive_call() noexcept {
    PyThreadState *ts = PyThreadState_Get();
    if (++ts->recursion_depth > _Py_CheckRecursionLimit)
        return _Py_CheckRecursiveCall(kRecursionWhere);
    return 0;
}
inline int recursion_low_water_mark(int limit) noexcept {
    return limit > 200 ? limit - 50 : 3 * (limit >> 2);
}
inline void leave_recursive_call() noexcept {
    PyThreadState *ts = PyThreadState_Get();
    if (--ts->recursion_depth < recursion_low_water_mark(_Py_CheckRecursionLimit))
        ts->overflowed = 0;
}
#else
inline int enter_recursive_call() noexcept { return Py_EnterRecursiveCall(kRecursionWhere); }
inline void leave_recursive_call() noexcept { Py_LeaveRecursiveCall(); }
#endif

// Whether the thread stands at its recursion limit, where the next Python call would raise
// RecursionError. 3.8 and 3.9 count the depth up to the limit and keep an overflow flag up
// while the depth has not fallen 50 below it again; 3.10 has the depth alone; 3.11 counts
// what remains; 3.12 and 3.13 count Python frames and C calls apart, and 3.14 checks C calls
// against the stack, so from 3.14 what remains of Python frames is the measure
// (Include/cpython/pystate.h, 3.8 to 3.15).
inline bool recursion_limit_reached(PyThreadState *ts) noexcept {
#if PY_VERSION_HEX >= 0x030E0000  // 3.14
    return ts->py_recursion_remaining <= 0;
#elif PY_VERSION_HEX >= 0x030C0000  // 3.12
    return ts->py_recursion_remaining <= 0 || ts->c_recursion_remaining <= 0;
#elif PY_VERSION_HEX >= 0x030B0000  // 3.11
    return ts->recursion_remaining <= 0;
#elif PY_VERSION_HEX >= 0x030A0000  // 3.10
    return ts->recursion_depth >= Py_GetRecursionLimit();
#else
    return ts->overflowed || ts->recursion_depth >= Py_GetRecursionLimit();
#endif
}

// ---------------------------------------------------------------------------------------
// Small ints read without the interpreter's arithmetic; a digit holds PyLong_SHIFT (30) bits.
// Up to 3.11 ob_size holds the signed digit count and ob_digit the digits; a zero has no
// digit to read. 3.12 packs sign and count into lv_tag, which is left alone here:
// PyUnstable_Long_IsCompact / PyUnstable_Long_CompactValue read an int of at most one digit
// (Include/cpython/longintrepr.h and longobject.h, 3.12 to 3.15), and an int of exactly two
// digits is one whose magnitude lies in [2**30, 2**60), read by PyLong_AsLongLongAndOverflow,
// which cannot fail for an int object.

#if PY_VERSION_HEX >= 0x030C0000  // 3.12
inline bool long_single_digit_value(PyObject *number, long &value) noexcept {
    const PyLongObject *integer = reinterpret_cast<PyLongObject *>(number);
    if (!PyUnstable_Long_IsCompact(integer)) return false;
    value = static_cast<long>(PyUnstable_Long_CompactValue(integer));
    return true;
}
inline bool long_two_digit_value(PyObject *number, long long &value) noexcept {
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(number))) return false;
    int overflow = 0;
    const long long whole = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (overflow) return false;
    const unsigned long long magnitude =
        whole < 0 ? 0ULL - static_cast<unsigned long long>(whole) : static_cast<unsigned long long>(whole);
    if (magnitude >> (2 * PyLong_SHIFT)) return false;
    value = whole;
    return true;
}
#else
inline bool long_single_digit_value(PyObject *number, long &value) noexcept {
    const Py_ssize_t count = Py_SIZE(number);
    if (count < -1 || count > 1) return false;
    // One digit is below 2**PyLong_SHIFT, so even Windows' 32-bit long holds it with its sign;
    // the Py_ssize_t product is narrowed here, where that is known.
    value = count == 0 ? 0 : static_cast<long>(count * reinterpret_cast<PyLongObject *>(number)->ob_digit[0]);
    return true;
}
inline bool long_two_digit_value(PyObject *number, long long &value) noexcept {
    const Py_ssize_t count = Py_SIZE(number);
    if (count != 2 && count != -2) return false;
    const digit *digits = reinterpret_cast<PyLongObject *>(number)->ob_digit;
    const long long magnitude = (static_cast<long long>(digits[1]) << PyLong_SHIFT) | digits[0];
    value = count < 0 ? -magnitude : magnitude;
    return true;
}
#endif

// ---------------------------------------------------------------------------------------
// Wide-character length of a str, used only as a quick inequality test before a full
// comparison. 3.8 has the cached wide form (made on demand, which can fail). From 3.9 it
// is deprecated and 3.12 removed it; the code-point length gives the same answer wherever
// wchar_t holds a whole code point, as on Linux and macOS (PyUnicode_GET_LENGTH, in
// Include/cpython/unicodeobject.h up to 3.15). Where wchar_t is 16 bits (Windows) the two
// differ only for text beyond the BMP, and both are equal for equal texts, so either serves
// as the inequality test.
// Returns -1 with an error set when the wide form cannot be made.

inline Py_ssize_t unicode_wide_length(PyObject *text) noexcept {
#if PY_VERSION_HEX < 0x03090000  // 3.9
    if (!PyUnicode_AsUnicode(text)) return -1;
    return PyUnicode_GET_SIZE(text);
#else
    return PyUnicode_GET_LENGTH(text);
#endif
}

}  // namespace orb::compat
