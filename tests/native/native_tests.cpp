// native_tests.cpp: internals that Python code cannot reach, run inside an embedded interpreter.
#include <Python.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "body.hpp"
#include "frame/code_cache.hpp"
#include "frame/module_state.hpp"
#include "frame/owned.hpp"
#include "frame/protocol.hpp"

extern "C" PyObject *PyInit_body(void);

using orb::Owned;

namespace {

Owned eval(const char *expression) {
    static PyObject *globals = [] {
        PyObject *dict = PyDict_New();
        PyDict_SetItemString(dict, "__builtins__", PyEval_GetBuiltins());
        return dict;
    }();
    Owned result = Owned::steal(PyRun_String(expression, Py_eval_input, globals, globals));
    if (!result) PyErr_Print();
    return result;
}

// Checks the pending error and clears it; `prefix` accepts any message starting with `message`.
testing::AssertionResult raised(PyObject *type, const std::string &message, bool prefix = false) {
    if (!PyErr_Occurred()) return testing::AssertionFailure() << "no error pending";
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    Owned type_held = Owned::steal(t), value = Owned::steal(v), trace = Owned::steal(tb);
    Owned text = Owned::steal(PyObject_Str(value.get()));
    std::string got = text ? PyUnicode_AsUTF8(text.get()) : "<unprintable>";
    const bool type_ok = PyErr_GivenExceptionMatches(t, type);
    const bool text_ok = prefix ? got.compare(0, message.size(), message) == 0 : got == message;
    if (type_ok && text_ok) return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "got " << reinterpret_cast<PyTypeObject *>(t)->tp_name << ": " << got;
}

// ---------------------------------------------------------------------------------------
// Traceback code-object cache, on tables of the test's own.

// The process-wide cache is never released; these are, so the checks below own every reference.
struct TestCache {
    orb::CodeCache cache;
    ~TestCache() {
        for (int i = 0; i < cache.count; ++i) Py_DECREF(cache.entries[i].code);
        PyMem_Free(cache.entries);
    }
    void insert(int key) {
        Owned value = Owned::steal(PyFloat_FromDouble(key + 0.5));
        orb::code_cache_insert(cache, key, value.get());
    }
};

TEST(CodeCache, PositionIsTheCountOfSmallerKeys) {
    for (int count = 1; count <= 7; ++count) {
        std::vector<orb::CodeCacheEntry> entries;
        std::vector<int> keys;
        for (int i = 0; i < count; ++i) {
            entries.push_back({10 * (i + 1), nullptr});
            keys.push_back(10 * (i + 1));
        }
        for (int key = -5; key <= 10 * count + 15; ++key) {
            const int expected = static_cast<int>(
                std::lower_bound(keys.begin(), keys.end(), key) - keys.begin());
            EXPECT_EQ(orb::code_cache_position(entries.data(), count, key), expected)
                << "count " << count << ", key " << key;
        }
    }
}

TEST(CodeCache, KeyAboveTheLastReadsOnlyTheLastEntry) {
    // The earlier keys are out of order on purpose: a search through them would go astray.
    const orb::CodeCacheEntry entries[] = {{99, nullptr}, {1, nullptr}, {50, nullptr}, {7, nullptr}};
    EXPECT_EQ(orb::code_cache_position(entries, 4, 8), 4);
}

TEST(CodeCache, FindGivesANewReferenceOrNothing) {
    TestCache t;
    for (int key : {30, 10, 20}) t.insert(key);
    for (int key : {10, 20, 30}) {
        PyObject *stored = t.cache.entries[key / 10 - 1].code;
        EXPECT_EQ(Py_REFCNT(stored), 1) << "the cache holds the only reference";
        Owned found = Owned::steal(orb::code_cache_find(t.cache, key));
        EXPECT_EQ(found.get(), stored);
        EXPECT_EQ(Py_REFCNT(stored), 2);
    }
    for (int key : {0, 5, 15, 25, 31, INT_MAX, INT_MIN}) {
        EXPECT_EQ(orb::code_cache_find(t.cache, key), nullptr) << key;
        EXPECT_FALSE(PyErr_Occurred());
    }
    EXPECT_EQ(orb::code_cache_find(orb::CodeCache{}, 10), nullptr) << "no block yet";
}

TEST(CodeCache, InsertsKeepTheTableSortedAndGrowByWholeBlocks) {
    static_assert(orb::kCodeCacheGrowth == 64, "the table below assumes blocks of 64");
    const struct {
        int inserts, capacity;
        bool descending;  // else scrambled: 37 is prime to every count here
    } cases[] = {{1, 64, true},     {64, 64, true},     {65, 128, true},
                 {65, 128, false},  {128, 128, false},  {129, 192, true}};
    for (const auto &c : cases) {
        TestCache t;
        for (int i = 0; i < c.inserts; ++i)
            t.insert(c.descending ? c.inserts - i : i * 37 % c.inserts + 1);
        EXPECT_EQ(t.cache.count, c.inserts);
        EXPECT_EQ(t.cache.capacity, c.capacity) << c.inserts << " inserts";
        for (int i = 0; i < t.cache.count; ++i) ASSERT_EQ(t.cache.entries[i].key, i + 1);
    }
}

// ---------------------------------------------------------------------------------------
// Native record builder.

TEST(NativeBuilder, TakesTheFirstCountValues) {
    const orb::BodyOptions base{0, 2.0, 1.0, 5.0, 7.0, 11.0, 13.0, 17.0, -3};
    const orb::BodyRecord none{}, all{{1, 5, 7}, {11, 13, 17}, -3, 2};
    const struct {
        const char *name;
        bool given;
        std::int32_t count;
        orb::BodyRecord expected;
    } cases[] = {
        {"no options", false, 0, none},
        {"count 0", true, 0, none},
        {"count -1", true, -1, none},
        {"count INT32_MIN", true, INT32_MIN, none},
        {"count 1", true, 1, {{0, 0, 0}, {0, 0, 0}, 0, 2}},
        {"count 3", true, 3, {{1, 5, 0}, {0, 0, 0}, 0, 2}},
        {"count 7", true, 7, {{1, 5, 7}, {11, 13, 17}, 0, 2}},
        {"count 8", true, 8, all},
        {"count 9", true, 9, all},
        {"count 1000", true, 1000, all},
    };
    for (const auto &c : cases) {
        orb::BodyOptions options = base;
        options.count = c.count;
        const orb::BodyRecord record = orb::Body(c.given ? &options : nullptr);
        EXPECT_EQ(std::memcmp(&record, &c.expected, sizeof record), 0) << c.name;
        EXPECT_FALSE(PyErr_Occurred()) << c.name;
    }
}

std::vector<int> g_events;

// A C profile function that fails every call event with the error type it was set with,
// and stays installed.
int fail_call_events(PyObject *error_type, PyFrameObject *, int what, PyObject *) {
    g_events.push_back(what);
    if (what == PyTrace_CALL) PyErr_SetString(error_type, "from the profile function");
    return what == PyTrace_CALL ? -1 : 0;
}

TEST(NativeBuilder, ReportsAFailedCallEventAndReturnsWithNoErrorSet) {
    const orb::BodyOptions options{8, 2.0, 1.0, 5.0, 7.0, 11.0, 13.0, 17.0, -3};
    const orb::BodyRecord expected{{1, 5, 7}, {11, 13, 17}, -3, 2};
    for (PyObject *type : {PyExc_ValueError, PyExc_RecursionError}) {
        g_events.clear();
        PyEval_SetProfile(fail_call_events, type);
        const orb::BodyRecord record = orb::Body(&options);
        PyEval_SetProfile(nullptr, nullptr);
        EXPECT_FALSE(PyErr_Occurred()) << reinterpret_cast<PyTypeObject *>(type)->tp_name;
        EXPECT_EQ(std::memcmp(&record, &expected, sizeof record), 0);
        EXPECT_EQ(g_events, (std::vector<int>{PyTrace_CALL, PyTrace_RETURN}));
        PyErr_Clear();
    }
}

// Fails the native builder's call events, and no others, with a RecursionError.
int fail_builder_call_events(PyObject *, PyFrameObject *frame, int what, PyObject *) {
    Owned code = Owned::steal(PyObject_GetAttrString(reinterpret_cast<PyObject *>(frame), "f_code"));
    Owned name = code ? Owned::steal(PyObject_GetAttrString(code.get(), "co_name")) : Owned();
    if (what != PyTrace_CALL || !name || PyUnicode_CompareWithASCIIString(name.get(), "Body")) return 0;
    PyErr_SetString(PyExc_RecursionError, "from the profile function");
    return -1;
}

// Body called at every depth on the way out of a recursion: the builder's failed event ends
// the call where the recursion limit stands (0 in the log), and is ignored elsewhere.
TEST(Body, BuilderEventRecursionErrorEndsTheCallAtTheLimitOnly) {
    Owned dive = eval(
        "exec('def dive(body, log):\\n try: dive(body, log)\\n except RecursionError: pass\\n"
        " try: log.append(type(body()).__name__)\\n except RecursionError: log.append(0)',"
        " g := {}) or g['dive']");
    Owned body = Owned::borrow(PyDict_GetItemString(orb::g_state.module_dict, "Body"));
    Owned log = eval("[]"), sys = eval("__import__('sys')");
    ASSERT_TRUE(dive && body && log && sys);
    Owned quiet = eval("lambda unraisable: None");
    PyObject_SetAttrString(sys.get(), "unraisablehook", quiet.get());
    PyEval_SetProfile(fail_builder_call_events, nullptr);
    Owned done = Owned::steal(PyObject_CallFunctionObjArgs(dive.get(), body.get(), log.get(), nullptr));
    PyEval_SetProfile(nullptr, nullptr);
    Owned original = Owned::steal(PyObject_GetAttrString(sys.get(), "__unraisablehook__"));
    PyObject_SetAttrString(sys.get(), "unraisablehook", original.get());
    ASSERT_TRUE(done);
    Owned judged = Owned::steal(PyObject_CallFunctionObjArgs(
        eval("lambda log: 0 in log and log[-1] == 'dict'").get(), log.get(), nullptr));
    EXPECT_EQ(judged.get(), Py_True);
}

Owned g_finalised;  // a list that the held object's finaliser appends to
std::vector<Py_ssize_t> g_finalised_during_call;

int remove_itself(PyObject *, PyFrameObject *, int, PyObject *) {
    PyEval_SetProfile(nullptr, nullptr);
    g_finalised_during_call.push_back(PyList_GET_SIZE(g_finalised.get()));
    return 0;
}

TEST(NativeBuilder, KeepsTheProfileObjectWhileItsFunctionRemovesIt) {
    g_finalised = eval("[]");
    Owned make = eval("lambda log: type('Held', (), {'__del__': lambda self: log.append(1)})()");
    Owned held = Owned::steal(PyObject_CallFunctionObjArgs(make.get(), g_finalised.get(), nullptr));
    ASSERT_TRUE(held);
    PyEval_SetProfile(remove_itself, held.get());
    held.reset();  // the profile slot holds the only reference
    (void)orb::Body(nullptr);
    EXPECT_EQ(g_finalised_during_call, std::vector<Py_ssize_t>{0});
    EXPECT_EQ(PyList_GET_SIZE(g_finalised.get()), 1);
    g_finalised.reset();
}

// Binding sets no error of its own aside, so one already set when Body is called is the one
// it fails with, rather than being lost in a keyword lookup.
TEST(Body, CallMadeWithAnErrorSetFailsWithThatError) {
    Owned body = Owned::borrow(PyDict_GetItemString(orb::g_state.module_dict, "Body"));
    Owned args = eval("()"), kwargs = eval("{'x': 1.0}");
    ASSERT_TRUE(body && args && kwargs);
    PyErr_SetString(PyExc_ValueError, "already set");
    EXPECT_FALSE(Owned::steal(PyObject_Call(body.get(), args.get(), kwargs.get())));
    EXPECT_TRUE(raised(PyExc_ValueError, "already set"));
}

// ---------------------------------------------------------------------------------------
// Object-protocol operations.

TEST(Protocol, AddOneMatchesPythonAddition) {
    const std::pair<const char *, const char *> cases[] = {
        {"0", "1"},
        {"-1", "0"},
        {"1", "2"},
        {"2**30 - 1", "2**30"},
        {"2**31 - 1", "2**31"},
        {"2**60 - 1", "2**60"},
        {"2**60", "2**60 + 1"},
        {"-(2**30)", "-(2**30) + 1"},
        {"-(2**30) - 1", "-(2**30)"},
        {"-(2**60) + 1", "-(2**60) + 2"},
        {"-(2**60)", "-(2**60) + 1"},
        {"2**100", "2**100 + 1"},
        {"1.5", "2.5"},
        {"-1.0", "0.0"},
        {"True", "2"},
        {"1j", "1 + 1j"},
        {"type('I', (int,), {'__add__': lambda self, other: 'added'})(5)", "'added'"},
    };
    for (const auto &[input, output] : cases) {
        Owned number = eval(input), expected = eval(output);
        ASSERT_TRUE(number && expected);
        Owned result = orb::add_one(number.get());
        ASSERT_TRUE(result) << input;
        EXPECT_EQ(Py_TYPE(result.get()), Py_TYPE(expected.get())) << input;
        EXPECT_EQ(PyObject_RichCompareBool(result.get(), expected.get(), Py_EQ), 1) << input;
    }
    EXPECT_TRUE(!orb::add_one(Py_None) && raised(PyExc_TypeError, "unsupported operand", true));
}

PyObject *null_call(PyObject *, PyObject *, PyObject *) { return nullptr; }

// Calls itself (n,) times over through the guarded call; gives 0 at the bottom.
PyObject *countdown_call(PyObject *self, PyObject *args, PyObject *) {
    const long n = PyLong_AsLong(PyTuple_GET_ITEM(args, 0));
    if (n == 0) return PyLong_FromLong(0);
    Owned next = Owned::steal(Py_BuildValue("(l)", n - 1));
    return next ? orb::guarded_call(self, next.get(), nullptr).release() : nullptr;
}

// reenter(callable, *args): the way back into the guarded call from Python code.
PyObject *reenter(PyObject *, PyObject *args) {
    Owned rest = Owned::steal(PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args)));
    return rest ? orb::guarded_call(PyTuple_GET_ITEM(args, 0), rest.get(), nullptr).release()
                : nullptr;
}

Owned instance_of_call_type(const char *name, ternaryfunc call) {
    PyType_Slot slots[] = {{Py_tp_call, reinterpret_cast<void *>(call)}, {0, nullptr}};
    PyType_Spec type_spec{name, sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, slots};
    Owned type = Owned::steal(PyType_FromSpec(&type_spec));
    return type ? Owned::steal(PyObject_CallObject(type.get(), nullptr)) : Owned();
}

int recursion_in_use() {
    PyThreadState *ts = PyThreadState_Get();
#if PY_VERSION_HEX >= 0x030C0000  // 3.12
    return -ts->c_recursion_remaining;
#elif PY_VERSION_HEX >= 0x030B0000  // 3.11
    return -ts->recursion_remaining;
#else
    return ts->recursion_depth;
#endif
}

TEST(Protocol, GuardedCallResultsAndErrors) {
    Owned null_result = instance_of_call_type("orbitra_test.NullResult", null_call);
    ASSERT_TRUE(null_result);
    const struct {
        Owned callable;
        const char *args, *kwargs, *expected;
        PyObject *error;
        const char *message;
    } cases[] = {
        {Owned::borrow(null_result.get()), "()", nullptr, nullptr, PyExc_SystemError,
         "NULL result without error in PyObject_Call"},
        {eval("divmod"), "(7, 2)", nullptr, "(3, 1)", nullptr, nullptr},
        {eval("dict"), "()", "{'a': 1}", "{'a': 1}", nullptr, nullptr},
        {eval("int"), "('x',)", nullptr, nullptr, PyExc_ValueError,
         "invalid literal for int() with base 10: 'x'"},
        {eval("5"), "()", nullptr, nullptr, PyExc_TypeError, "'int' object is not callable"},
    };
    for (const auto &c : cases) {
        const int depth = recursion_in_use();
        Owned args = eval(c.args), kwargs = c.kwargs ? eval(c.kwargs) : Owned();
        Owned result = orb::guarded_call(c.callable.get(), args.get(), kwargs.get());
        EXPECT_EQ(recursion_in_use(), depth) << c.args;
        if (c.expected) {
            ASSERT_TRUE(result) << c.args;
            EXPECT_EQ(PyObject_RichCompareBool(result.get(), eval(c.expected).get(), Py_EQ), 1);
        } else {
            EXPECT_FALSE(result) << c.args;
            EXPECT_TRUE(raised(c.error, c.message)) << c.args;
        }
    }
}

TEST(Protocol, GuardedCallStopsRunawayRecursion) {
    static PyMethodDef reenter_def{"reenter", reenter, METH_VARARGS, nullptr};
    Owned namespace_ = Owned::steal(PyDict_New());
    Owned reenter_function = Owned::steal(PyCFunction_New(&reenter_def, nullptr));
    PyDict_SetItemString(namespace_.get(), "__builtins__", PyEval_GetBuiltins());
    PyDict_SetItemString(namespace_.get(), "reenter", reenter_function.get());
    Owned defined = Owned::steal(PyRun_String(
        "def countdown(n):\n    return 0 if n == 0 else reenter(countdown, n - 1)\n",
        Py_file_input, namespace_.get(), namespace_.get()));
    ASSERT_TRUE(defined);
    Owned native = instance_of_call_type("orbitra_test.Countdown", countdown_call);
    ASSERT_TRUE(native);
    const std::string message = "maximum recursion depth exceeded";
    const struct {
        const char *name;
        PyObject *callable;
        std::string message;
        bool prefix;  // through Python, the interpreter's own checks may trip first
    } cases[] = {
        {"through Python", PyDict_GetItemString(namespace_.get(), "countdown"), message, true},
        {"native", native.get(), message + " while calling a Python object", false},
    };
    for (const auto &c : cases) {
        const int depth = recursion_in_use();
        Owned runaway = Owned::steal(Py_BuildValue("(i)", 1000000));
        EXPECT_FALSE(orb::guarded_call(c.callable, runaway.get(), nullptr)) << c.name;
        EXPECT_TRUE(raised(PyExc_RecursionError, c.message, c.prefix)) << c.name;
        EXPECT_EQ(recursion_in_use(), depth) << c.name;
        Owned bounded = Owned::steal(Py_BuildValue("(i)", 100));
        Owned result = orb::guarded_call(c.callable, bounded.get(), nullptr);
        EXPECT_TRUE(result && PyLong_AsLong(result.get()) == 0) << c.name;
        EXPECT_EQ(recursion_in_use(), depth) << c.name;
    }
}

#if PY_VERSION_HEX < 0x03090000  // 3.8: the guard is written out, overflow flag included
TEST(Protocol, GuardedCallClearsOverflowBelowTheLowWaterMark) {
    Owned native = instance_of_call_type("orbitra_test.Countdown", countdown_call);
    Owned zero = Owned::steal(Py_BuildValue("(i)", 0));
    PyThreadState *ts = PyThreadState_Get();
    const int saved_limit = Py_GetRecursionLimit(), saved_depth = ts->recursion_depth;
    const struct {
        int limit, depth;
        bool cleared;
    } cases[] = {{1000, 949, true}, {1000, 950, false}, {201, 150, true}, {201, 151, false},
                 {200, 149, true},  {200, 150, false},  {100, 74, true},  {100, 75, false}};
    for (const auto &c : cases) {
        Py_SetRecursionLimit(c.limit);
        ts->recursion_depth = c.depth;
        ts->overflowed = 1;
        Owned result = orb::guarded_call(native.get(), zero.get(), nullptr);
        EXPECT_TRUE(result);
        EXPECT_EQ(ts->recursion_depth, c.depth);
        EXPECT_EQ(ts->overflowed == 0, c.cleared) << "limit " << c.limit << ", depth " << c.depth;
    }
    ts->recursion_depth = saved_depth;
    ts->overflowed = 0;
    Py_SetRecursionLimit(saved_limit);
}
#endif

TEST(Protocol, GlobalLookupReadsTheModuleDictThenBuiltins) {
    PyObject *globals = orb::g_state.module_dict;
    const struct {
        const char *name;
        const char *bind;  // null leaves the global as it is, "" deletes it
        const char *expected;  // null: NameError
    } cases[] = {
        {"np", "", nullptr},
        {"np", "[7]", "[7]"},
        {"len", "[5]", "[5]"},
        {"len", nullptr, "len"},
        {"orbitra_test_absent", nullptr, nullptr},
    };
    for (const auto &c : cases) {
        Owned name = Owned::steal(PyUnicode_FromString(c.name));
        Owned saved = Owned::borrow(PyDict_GetItem(globals, name.get()));
        if (c.bind && !*c.bind && saved) PyDict_DelItem(globals, name.get());
        Owned bound = c.bind && *c.bind ? eval(c.bind) : Owned();
        if (bound) PyDict_SetItem(globals, name.get(), bound.get());
        Owned value = orb::global_lookup(globals, name.get());
        if (c.expected) {
            ASSERT_TRUE(value) << c.name;
            if (bound) {
                EXPECT_EQ(Py_REFCNT(bound.get()), 3) << "ours, the dict's, the lookup's";
            }
            EXPECT_EQ(PyObject_RichCompareBool(value.get(), eval(c.expected).get(), Py_EQ), 1);
        } else {
            EXPECT_FALSE(value) << c.name;
            EXPECT_TRUE(raised(PyExc_NameError, std::string("name '") + c.name +
                                                    "' is not defined"));
        }
        if (saved)
            PyDict_SetItem(globals, name.get(), saved.get());
        else if (PyDict_GetItem(globals, name.get()))
            PyDict_DelItem(globals, name.get());
    }
    EXPECT_TRUE(PyDict_GetItemString(globals, "np")) << "np is back for later tests";
}

}  // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    Py_InitializeEx(0);
    if (PyRun_SimpleString("import sys; sys.path[:0] = '" ORB_TEST_SITE_DIRS "'.split(':')") < 0)
        return 1;
    // Kept for the whole run: the module state lives as long as the module.
    PyObject *module = PyInit_body();
    if (!module) {
        PyErr_Print();
        return 1;
    }
    return RUN_ALL_TESTS();
}
