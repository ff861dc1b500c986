// failure.hpp: failure sites, the failure location they record, and the traceback entries
// and unraisable reports built from it.
#pragma once

#include <Python.h>

#include "frame/compat.hpp"
#include "frame/owned.hpp"

namespace orb {

// Source files as Python users see them in traceback entries and profile events.
inline constexpr const char kModuleSource[] = "orbitra\\body";
inline constexpr const char kStringSource[] = "stringsource";

// The implementation files that hold failure sites. A site's cache key combines the file's
// place in this list with the site's line in that file; with at most one site per line
// (checked by the test suite), no two sites can share a key.
inline constexpr const char *kSiteFiles[] = {"body.cpp", "startup.cpp"};
inline constexpr int kSiteLinesPerFile = 100000;

constexpr const char *file_base_name(const char *path) {
    const char *base = path;
    for (const char *p = path; *p; ++p)
        if (*p == '/' || *p == '\\') base = p + 1;
    return base;
}

constexpr bool same_text(const char *a, const char *b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

constexpr int site_file_index(const char *path) {
    const char *base = file_base_name(path);
    for (int i = 0; i < static_cast<int>(sizeof kSiteFiles / sizeof *kSiteFiles); ++i)
        if (same_text(base, kSiteFiles[i])) return i;
    return -1;
}

template <int FileIndex, int Line>
constexpr int site_key() {
    static_assert(FileIndex >= 0, "failure sites must live in a file listed in kSiteFiles");
    static_assert(Line > 0 && Line < kSiteLinesPerFile, "site line out of range");
    return (FileIndex + 1) * kSiteLinesPerFile + Line;
}

// Where a failure happened: the module source line that failed, and the place in the
// implementation that detected it.
struct FailureSite {
    const char *source_file;
    int source_line;
    const char *implementation_file;
    int internal_line;
    int key;
};

#define ORB_SITE(source_file, source_line)                                          \
    (::orb::FailureSite{(source_file), (source_line), ::orb::file_base_name(__FILE__), \
                        __LINE__, ::orb::site_key<::orb::site_file_index(__FILE__), __LINE__>()})

// The latest failure; written by every failure site, never cleared.
extern FailureSite g_failure_location;

// What a failure site returns: nothing for functions giving objects, -1 for statuses.
struct Failed {
    operator PyObject *() const noexcept { return nullptr; }
    operator Owned() const noexcept { return {}; }
    operator int() const noexcept { return -1; }
};

// Writes the module-wide location and the innermost scope's.
ORB_COLD Failed record_failure(const FailureSite &site) noexcept;

// One line per failure site: `return ORB_FAIL_AT(37);` records the site and fails.
#define ORB_FAIL_IN(source_file, source_line) \
    ::orb::record_failure(ORB_SITE((source_file), (source_line)))
#define ORB_FAIL_AT(source_line) ORB_FAIL_IN(::orb::kModuleSource, (source_line))

// The failure one operation recorded, kept apart from the module-wide location: between a
// failure and the operation's traceback entry, objects are released and their finalisers
// may make another call of the module fail. Scopes nest per thread, innermost first, since
// an operation that runs Python code may let another thread in.
class FailureScope {
public:
    // Only the key marks a site as recorded; the rest is written with it.
    FailureScope() noexcept : outer_(innermost()) {
        site_.key = 0;
        innermost() = this;
    }
    FailureScope(const FailureScope &) = delete;
    FailureScope &operator=(const FailureScope &) = delete;
    ~FailureScope() { innermost() = outer_; }

    // What this operation recorded; the module-wide location if it recorded nothing.
    const FailureSite &site() const noexcept { return site_.key ? site_ : g_failure_location; }

    static FailureScope *&innermost() noexcept {
        // Initial-exec: a plain load from the thread pointer on every call, rather than a
        // call into the dynamic linker; one pointer of the static TLS reserve is enough.
        static thread_local FailureScope *scope ORB_INITIAL_EXEC_TLS = nullptr;
        return scope;
    }

private:
    friend Failed record_failure(const FailureSite &site) noexcept;
    FailureSite site_;
    FailureScope *outer_;
};

// Adds one traceback entry for `site` in front of the pending exception's traceback, with
// `globals` (the failing function's module dict) as its frame's globals. Never fails
// towards its caller.
ORB_COLD void add_traceback_entry(const char *qualified_name, FailureSite site,
                                  PyObject *globals) noexcept;

// A frame of `code` over `globals`, which the frame's lookups there cannot free meanwhile.
// Making it looks names up in `globals`, which compares keys and so may run Python code.
// While it makes a RecursionError's traceback entry, that code reports no profile events
// and adds no RecursionError entries of the module's own on the thread: each would make
// such frames again, and the recursion below every level would run once more for each
// level that the error passes on its way out.
Owned make_frame(PyThreadState *ts, PyObject *code, PyObject *globals) noexcept;

// Whether the thread is making a RecursionError's traceback entry (see make_frame).
bool making_recursion_entry() noexcept;

// Whether the pending error is a RecursionError that going on would raise again: the
// thread stands at its recursion limit, or it came from making a frame over the module's
// globals (`frame_failed`), whose lookups ran code that recursed and every frame made from
// here on would run again.
bool recursion_would_repeat(PyThreadState *ts, bool frame_failed) noexcept;

// Reports the pending error as ignored in "orbitra.body.Body" and clears it.
ORB_COLD void report_unraisable() noexcept;

// A code object that only carries a name, a file name and a first line.
PyObject *make_synthetic_code(const char *function_name, const char *file_name,
                              int first_line) noexcept;

// The pending error of the calling thread, set aside while other code runs.
class PendingError {
public:
    PendingError() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
    PendingError(const PendingError &) = delete;
    PendingError &operator=(const PendingError &) = delete;
    ~PendingError() {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(traceback_);
    }
    // The held exception's value, borrowed: its instance once made, if made.
    PyObject *value() const noexcept { return value_; }
    // Makes the held instance where that runs no Python code; see failure.cpp.
    void make_instance_of_builtin_class() noexcept;
    // Puts it back, releasing whatever error is pending now.
    void restore() noexcept {
        PyErr_Restore(type_, value_, traceback_);
        type_ = value_ = traceback_ = nullptr;
    }

private:
    // A second hold on the same error, for making its instance apart.
    PendingError(PyObject *type, PyObject *value, PyObject *traceback) noexcept
        : type_(Owned::borrow(type).release()), value_(Owned::borrow(value).release()),
          traceback_(Owned::borrow(traceback).release()) {}

    PyObject *type_ = nullptr;
    PyObject *value_ = nullptr;
    PyObject *traceback_ = nullptr;
};

}  // namespace orb
