// body.cpp: the body record model: the record and its dtype, Body and BodyArray.
#include "body.hpp"

#include <climits>
#include <cstring>

#include "frame/arguments.hpp"
#include "frame/compat.hpp"
#include "frame/failure.hpp"
#include "frame/module_state.hpp"
#include "frame/notes.hpp"
#include "frame/owned.hpp"
#include "frame/profiling.hpp"
#include "frame/protocol.hpp"
#include "frame/startup.hpp"

namespace orb {

const char kModuleDoc[] =
    "\nBasic Body object for the simulation.\n"
    "A physical body with mass, coordinates and momentum.\n"
    "Its class lacks behaviour and only stores data.\n"
    "Technically it's a C struct, sometimes posing as a numpy record array.\n";

namespace {

constexpr const char kBodyName[] = "orbitra.body.Body";
constexpr const char kBodyArrayName[] = "orbitra.body.BodyArray";
constexpr const char kListName[] = "carray.to_py.__Pyx_carray_to_py_double";

ProfiledOperation g_list_profile{"__Pyx_carray_to_py_double", kStringSource, 112, nullptr};
ProfiledOperation g_builder_profile{"Body", kModuleSource, 25, nullptr};
ProfiledOperation g_body_profile{"Body (wrapper)", kModuleSource, 25, nullptr};
ProfiledOperation g_body_array_profile{"BodyArray", kModuleSource, 35, nullptr};

// ---------------------------------------------------------------------------------------
// Record to dict

// The doubles of a packed record may be unaligned, so they are copied out, not read
// through a double pointer. Each item goes into its slot of the new list as it is made, and
// the list releases what it holds should a later one fail.
Owned make_list_of_three(const unsigned char *three_doubles) noexcept {
    double values[3];
    std::memcpy(values, three_doubles, sizeof values);
    Owned list = Owned::steal(PyList_New(3));
    if (!list) return ORB_FAIL_IN(kStringSource, 115);
    PyObject **items = &PyList_GET_ITEM(list.get(), 0);
    if (!(items[0] = PyFloat_FromDouble(values[0]))) return ORB_FAIL_IN(kStringSource, 117);
    if (!(items[1] = PyFloat_FromDouble(values[1]))) return ORB_FAIL_IN(kStringSource, 117);
    if (!(items[2] = PyFloat_FromDouble(values[2]))) return ORB_FAIL_IN(kStringSource, 117);
    return list;
}

// The globals of the frames that a function's events and traceback entries carry: its own
// module's dict. The native builder, which no module function calls, has those of the
// module that start-up published.
PyObject *globals_of(PyObject *module) noexcept {
    return module ? PyModule_GetDict(module) : g_state.module_dict;
}

// An operation that reports call and return events and, when it fails, a traceback entry
// under `qualified_name` for the site recorded in `failures`. A failed call event fails it
// at `call_event_site` unrun. `ts` is the calling thread's state; `module` is the module of
// the function that runs the operation.
template <class Work>
Owned run_profiled_in(const FailureScope &failures, ProfiledOperation &operation,
                      const FailureSite &call_event_site, const char *qualified_name,
                      PyThreadState *ts, PyObject *module, Work work) noexcept {
    if (!compat::profile_hook_active(ts)) {  // no events to report: the work alone
        Owned result = work();
        if (!result) add_traceback_entry(qualified_name, failures.site(), globals_of(module));
        return result;
    }
    ProfiledCall profile(operation, ts, globals_of(module));
    Owned result;
    if (profile.call_event_failed())
        record_failure(call_event_site);
    else
        result = work();
    if (!result) add_traceback_entry(qualified_name, failures.site(), globals_of(module));
    profile.finish(result.get());
    return result;
}

template <class Work>
Owned run_profiled(ProfiledOperation &operation, const FailureSite &call_event_site,
                   const char *qualified_name, PyThreadState *ts, PyObject *module,
                   Work work) noexcept {
    const FailureScope failures;
    return run_profiled_in(failures, operation, call_event_site, qualified_name, ts, module,
                           work);
}

constexpr FailureSite kListCallEventSite = ORB_SITE(kStringSource, 112);

// Runs in the caller's scope, `failures`: the list records a site before every failure,
// so the caller's scope holds the list's site when the list's entry is added, and the
// caller's own failure that follows records its own.
Owned carray_to_py_double(const FailureScope &failures, const unsigned char *three_doubles,
                          PyThreadState *ts, PyObject *module) noexcept {
    return run_profiled_in(failures, g_list_profile, kListCallEventSite, kListName, ts, module,
                           [three_doubles] { return make_list_of_three(three_doubles); });
}

int store_in_dict(PyObject *dict, PyObject *key, Owned value) noexcept {
    if (!value) return -1;
    return PyDict_SetItem(dict, key, value.get());
}

// The default probe is the interpreter's own cached 0, which start-up already holds; this
// spares the commonest call the conversion.
Owned probe_to_py(std::int8_t probe) noexcept {
    return probe == 0 ? Owned::borrow(g_state.int_0) : Owned::steal(PyLong_FromLong(probe));
}

// `failures` is the innermost scope of the calling thread.
Owned fill_record_dict(const FailureScope &failures, const BodyRecord &record, Owned dict,
                       PyThreadState *ts, PyObject *module) noexcept {
    const auto *bytes = reinterpret_cast<const unsigned char *>(&record);
    const Names &n = g_state.names;
    PyObject *d = dict.get();
    if (store_in_dict(d, n.r, carray_to_py_double(failures, bytes + offsetof(BodyRecord, r), ts, module)) < 0 ||
        store_in_dict(d, n.v, carray_to_py_double(failures, bytes + offsetof(BodyRecord, v), ts, module)) < 0 ||
        store_in_dict(d, n.probe, probe_to_py(record.probe)) < 0 ||
        store_in_dict(d, n.m, Owned::steal(PyFloat_FromDouble(record.m))) < 0)
        return {};
    return dict;
}

}  // namespace

Owned record_to_dict(const BodyRecord &record, Owned dict) noexcept {
    const FailureScope failures;
    return fill_record_dict(failures, record, std::move(dict), PyThreadState_Get(), nullptr);
}

// ---------------------------------------------------------------------------------------
// The native record builder

namespace {

BodyRecord build_record(const BodyOptions *options) noexcept {
    BodyRecord record{};
    const std::int32_t count = options ? options->count : 0;
    if (count >= 8) {  // every option given, as the Python face always gives them
        record.r[0] = options->x;
        record.r[1] = options->y;
        record.r[2] = options->z;
        record.v[0] = options->vx;
        record.v[1] = options->vy;
        record.v[2] = options->vz;
        record.probe = options->probe;
        record.m = options->m;
        return record;
    }
    double m = 0.0, x = 0.0, y = 0.0, z = 0.0, vx = 0.0, vy = 0.0, vz = 0.0;
    std::int8_t probe = 0;
    if (count >= 1) m = options->m;
    if (count >= 2) x = options->x;
    if (count >= 3) y = options->y;
    if (count >= 4) z = options->z;
    if (count >= 5) vx = options->vx;
    if (count >= 6) vy = options->vy;
    if (count >= 7) vz = options->vz;
    if (count >= 8) probe = options->probe;
    record.r[0] = x;
    record.r[1] = y;
    record.r[2] = z;
    record.v[0] = vx;
    record.v[1] = vy;
    record.v[2] = vz;
    record.probe = probe;
    record.m = m;
    return record;
}

// A failing call event cannot be passed on from here: it is reported as unraisable, and
// the record is still built from the options so the caller never sees undefined bytes.
// For Body's own call, `recursion_kept` may instead leave a RecursionError pending that
// going on would raise again, for Body to fail with.
BodyRecord build_body(const BodyOptions *options, PyThreadState *ts, PyObject *module,
                      bool *recursion_kept) noexcept {
    if (!compat::profile_hook_active(ts)) return build_record(options);  // no events to report
    ProfiledCall profile(g_builder_profile, ts, globals_of(module));
    if (profile.call_event_failed()) {
        ORB_FAIL_AT(25);
        if (recursion_kept && recursion_would_repeat(ts, profile.event_frame_failed()))
            *recursion_kept = true;
        else
            report_unraisable();
    }
    const BodyRecord record = build_record(options);
    profile.finish(Py_None);
    return record;
}

}  // namespace

BodyRecord Body(const BodyOptions *options) noexcept {
    return build_body(options, PyThreadState_Get(), nullptr, nullptr);
}

// ---------------------------------------------------------------------------------------
// Body: the body layer and the argument layer of the Python face

namespace {

constexpr FailureSite kBodyCallEventSite = ORB_SITE(kModuleSource, 25);

// `failures` is the argument layer's scope, which has recorded nothing once the arguments
// are converted: the body layer records in it rather than in a scope of its own.
PyObject *Body_wrapper(const FailureScope &failures, const BodyOptions &options,
                       PyObject *module) noexcept {
    PyThreadState *ts = PyThreadState_Get();
    return run_profiled_in(failures, g_body_profile, kBodyCallEventSite, kBodyName, ts, module,
                           [&failures, &options, ts, module]() -> Owned {
        bool recursion_kept = false;
        const BodyRecord record = build_body(&options, ts, module, &recursion_kept);
        if (recursion_kept) return ORB_FAIL_AT(25);
        Owned dict = Owned::steal(PyDict_New());
        Owned result = dict ? fill_record_dict(failures, record, std::move(dict), ts, module) : Owned();
        if (!result) return ORB_FAIL_AT(25);
        return result;
    }).release();
}

PyObject *const *const kBodyParameterNames[] = {
    &g_state.names.m,  &g_state.names.x,  &g_state.names.y,  &g_state.names.z,
    &g_state.names.vx, &g_state.names.vy, &g_state.names.vz, &g_state.names.probe,
    nullptr};

constexpr ParameterList kBodyParameters{"Body", kBodyParameterNames, 0, 8};
constexpr int kBodyParameterCount = 8;

// An unbound slot keeps the default that `value` already holds.
bool convert(PyObject *slot, double &value) noexcept {
    return !slot || !conversion_failed(value = to_double(slot));
}

bool convert(PyObject *slot, std::int8_t &value) noexcept {
    return !slot || !conversion_failed(value = to_signed_byte(slot));
}

bool Body_argument_failure(const FailureScope &failures, PyObject *module, Failed) noexcept {
    add_traceback_entry(kBodyName, failures.site(), globals_of(module));
    return false;
}

// A conversion's failure also says which parameter failed (a note, from 3.11).
bool Body_conversion_failure(const FailureScope &failures, PyObject *module, Failed failed,
                             int parameter) noexcept {
    Body_argument_failure(failures, module, failed);
    note_argument_failure(*kBodyParameterNames[parameter]);
    return false;
}

// Fills `values` from the call's arguments; false once the failure is recorded in
// `failures` with its traceback entry. The bound arguments are held in `slots` until the
// caller is done.
bool Body_convert_arguments(const FailureScope &failures, PyObject *module, PyObject *args,
                            PyObject *kwargs, Owned (&slots)[kBodyParameterCount],
                            BodyOptions &values) noexcept {
    switch (bind_arguments(kBodyParameters, args, kwargs, slots)) {
    case Binding::kBound:
        break;
    case Binding::kTooManyPositional:
        return Body_argument_failure(failures, module, ORB_FAIL_AT(25));
    case Binding::kKeywordsRejected:
        return Body_argument_failure(failures, module, ORB_FAIL_AT(25));
    }
    if (!convert(slots[0].get(), values.m)) return Body_conversion_failure(failures, module, ORB_FAIL_AT(25), 0);
    if (!convert(slots[1].get(), values.x)) return Body_conversion_failure(failures, module, ORB_FAIL_AT(25), 1);
    if (!convert(slots[2].get(), values.y)) return Body_conversion_failure(failures, module, ORB_FAIL_AT(25), 2);
    if (!convert(slots[3].get(), values.z)) return Body_conversion_failure(failures, module, ORB_FAIL_AT(25), 3);
    if (!convert(slots[4].get(), values.vx)) return Body_conversion_failure(failures, module, ORB_FAIL_AT(26), 4);
    if (!convert(slots[5].get(), values.vy)) return Body_conversion_failure(failures, module, ORB_FAIL_AT(26), 5);
    if (!convert(slots[6].get(), values.vz)) return Body_conversion_failure(failures, module, ORB_FAIL_AT(26), 6);
    if (!convert(slots[7].get(), values.probe)) return Body_conversion_failure(failures, module, ORB_FAIL_AT(26), 7);
    return true;
}

// An exact float, or an exact int of one digit, which converts exactly.
bool exact_number(PyObject *value, double &number) noexcept {
    if (Py_TYPE(value) == &PyFloat_Type) {
        number = PyFloat_AS_DOUBLE(value);
        return true;
    }
    long small;
    if (Py_TYPE(value) != &PyLong_Type || !compat::long_single_digit_value(value, small)) return false;
    number = static_cast<double>(small);
    return true;
}

bool exact_probe(PyObject *value, std::int8_t &probe) noexcept {
    long small;
    if (Py_TYPE(value) != &PyLong_Type || !compat::long_single_digit_value(value, small) ||
        small < -128 || small > 127)
        return false;
    probe = static_cast<std::int8_t>(small);
    return true;
}

// The index of the parameter whose name object `key` is, -1 for any other object.
Py_ssize_t parameter_named(PyObject *key) noexcept {
    const Names &n = g_state.names;
    return key == n.m ? 0 : key == n.x ? 1 : key == n.y ? 2 : key == n.z ? 3 : key == n.vx ? 4
         : key == n.vy ? 5 : key == n.vz ? 6 : key == n.probe ? 7 : -1;
}

// Binds and converts in one pass, taking no references, the calls whose binding and
// conversion cannot fail and run no Python code: every value an exact float or an exact int
// of one digit (probe's one in range), every keyword the very name object of a parameter
// not given positionally, in an exact dict. Its keys then need no comparison and its values
// no conversion of their own, so the values are those the binding below gives. False, with
// `values` unchanged, for anything else.
bool Body_convert_exact_arguments(PyObject *args, PyObject *kwargs, BodyOptions &values) noexcept {
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    if (positional > kBodyParameterCount) return false;
    double numbers[kBodyParameterCount - 1] = {};
    std::int8_t probe = 0;
    auto convert = [&numbers, &probe](PyObject *value, Py_ssize_t index) {
        return index < kBodyParameterCount - 1 ? exact_number(value, numbers[index])
                                               : exact_probe(value, probe);
    };
    for (Py_ssize_t index = 0; index < positional; ++index)
        if (!convert(PyTuple_GET_ITEM(args, index), index)) return false;
    if (kwargs) {
        // An error already pending fails the keyword binding below with that error.
        if (Py_TYPE(kwargs) != &PyDict_Type || PyErr_Occurred()) return false;
        Py_ssize_t position = 0;
        for (Py_ssize_t entry = PyDict_GET_SIZE(kwargs); entry > 0; --entry) {
            PyObject *key, *value;
            if (!PyDict_Next(kwargs, &position, &key, &value)) return false;
            const Py_ssize_t index = parameter_named(key);
            if (index < positional || !convert(value, index)) return false;
        }
    }
    values.m = numbers[0];
    values.x = numbers[1];
    values.y = numbers[2];
    values.z = numbers[3];
    values.vx = numbers[4];
    values.vy = numbers[5];
    values.vz = numbers[6];
    values.probe = probe;
    return true;
}

// `module`, Body's self, is the module whose method table made it.
PyObject *Body_arguments(PyObject *module, PyObject *args, PyObject *kwargs) noexcept {
    const FailureScope failures;
    BodyOptions values{};  // every default is zero
    values.count = kBodyParameterCount;
    // A call without arguments binds nothing, converts nothing and cannot fail here.
    const bool has_arguments = PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0);
    if (!has_arguments || Body_convert_exact_arguments(args, kwargs, values))
        return Body_wrapper(failures, values, module);
    Owned slots[kBodyParameterCount];  // held until the body is built
    if (!Body_convert_arguments(failures, module, args, kwargs, slots, values)) return nullptr;
    return Body_wrapper(failures, values, module);
}

// ---------------------------------------------------------------------------------------
// BodyArray

// Direct stores: the bytes NumPy's item assignment would write, for values whose
// conversion cannot differ from ours and cannot run Python code. Anything else is left
// to NumPy.

bool store_double(PyObject *value, unsigned char *destination) noexcept {
    if (Py_TYPE(value) != &PyFloat_Type) return false;
    const double number = PyFloat_AS_DOUBLE(value);
    std::memcpy(destination, &number, sizeof number);
    return true;
}

bool store_three_doubles(PyObject *value, unsigned char *destination) noexcept {
    PyObject *const *items;
    if (Py_TYPE(value) == &PyList_Type && PyList_GET_SIZE(value) == 3)
        items = &PyList_GET_ITEM(value, 0);
    else if (Py_TYPE(value) == &PyTuple_Type && PyTuple_GET_SIZE(value) == 3)
        items = &PyTuple_GET_ITEM(value, 0);
    else
        return false;
    if (Py_TYPE(items[0]) != &PyFloat_Type || Py_TYPE(items[1]) != &PyFloat_Type ||
        Py_TYPE(items[2]) != &PyFloat_Type)
        return false;
    for (int index = 0; index < 3; ++index) {
        const double number = PyFloat_AS_DOUBLE(items[index]);
        std::memcpy(destination + index * sizeof(double), &number, sizeof number);
    }
    return true;
}

bool store_m(PyObject *value, unsigned char *element) noexcept {
    return store_double(value, element + offsetof(BodyRecord, m));
}
bool store_r(PyObject *value, unsigned char *element) noexcept {
    return store_three_doubles(value, element + offsetof(BodyRecord, r));
}
bool store_v(PyObject *value, unsigned char *element) noexcept {
    return store_three_doubles(value, element + offsetof(BodyRecord, v));
}
bool store_probe(PyObject *value, unsigned char *element) noexcept {
    if (Py_TYPE(value) != &PyLong_Type) return false;
    long number;
    if (!compat::long_single_digit_value(value, number)) return false;
    if (number < -128 || number > 127) return false;
    element[offsetof(BodyRecord, probe)] = static_cast<unsigned char>(static_cast<std::int8_t>(number));
    return true;
}

// Whether `object` (an array, or one of its records) has the record dtype start-up made.
bool has_record_dtype(PyObject *object) noexcept {
    Owned dtype = Owned::steal(PyObject_GetAttr(object, g_state.names.dtype));
    if (!dtype) {
        PyErr_Clear();
        return false;
    }
    if (!g_state.record_dtype) return false;  // no start-up has succeeded yet
    if (dtype.get() == g_state.record_dtype) return true;
    const int equal = PyObject_RichCompareBool(dtype.get(), g_state.record_dtype, Py_EQ);
    if (equal < 0) PyErr_Clear();
    return equal == 1;
}

// A record of a NumPy array of the record dtype, whose probe field NumPy stores as int8.
// Its type is checked first, so that reading its dtype runs no Python code of an array
// that stands in for NumPy's, which stores whatever it stores.
bool is_numpy_body_record(PyObject *row) noexcept {
    PyTypeObject *type = Py_TYPE(row);
    return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) &&
           std::strcmp(type->tp_name, "numpy.void") == 0 && has_record_dtype(row);
}

// NumPy 1.x (the last for 3.8 is 1.24) wraps an out-of-range int into int8 (300 is stored
// as 44, with a DeprecationWarning at most), where NumPy 2 refuses it. On NumPy 1.x an exact
// int out of range, the kind of value a body dict holds, is refused here as NumPy 2 refuses
// it; reading one runs no Python code. Every other value is NumPy's to convert, and an int
// beyond a C long long every NumPy refuses itself. 0 when NumPy may store the value; -1
// with NumPy 2's OverflowError otherwise.
int check_probe_range(PyObject *value, PyObject *row) noexcept {
    if (!PyLong_CheckExact(value) || !g_state.numpy_wraps_integers) return 0;
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow || (number >= -128 && number <= 127) || !is_numpy_body_record(row)) return 0;
    PyErr_Format(PyExc_OverflowError, "Python integer %lld out of bounds for int8", number);
    return -1;
}

// The memory of the array made for this call, when only this call can reach the array
// and its elements are records laid out as BodyRecord: then a direct store is exactly
// what NumPy's item assignment would do, and no Python code can observe the export.
class RecordMemory {
public:
    explicit RecordMemory(PyObject *array) noexcept {
        if (Py_TYPE(array) != reinterpret_cast<PyTypeObject *>(g_state.numpy_ndarray) ||
            !only_this_call_can_reach(array) || !has_record_dtype(array))
            return;
        if (PyObject_GetBuffer(array, &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) {
            PyErr_Clear();
            return;
        }
        acquired_ = true;
        if (view_.ndim == 1 && view_.itemsize == sizeof(BodyRecord)) {
            base_ = static_cast<unsigned char *>(view_.buf);
            length_ = view_.shape[0];
        }
    }
    RecordMemory(const RecordMemory &) = delete;
    RecordMemory &operator=(const RecordMemory &) = delete;
    ~RecordMemory() {
        if (acquired_) PyBuffer_Release(&view_);
    }

    // The elements below `direct_count()` may be written directly; NumPy writes the others.
    Py_ssize_t direct_count() const noexcept { return length_; }
    unsigned char *element(Py_ssize_t index) const noexcept {
        return base_ + index * static_cast<Py_ssize_t>(sizeof(BodyRecord));
    }

private:
    // Python code run by an item could otherwise change the array's flags, dtype or
    // strides between two stores; through a weak reference as much as a strong one.
    static bool only_this_call_can_reach(PyObject *array) noexcept {
        if (Py_REFCNT(array) != 1) return false;
        const Py_ssize_t weak_list_offset = Py_TYPE(array)->tp_weaklistoffset;
        if (weak_list_offset <= 0) return true;
        auto *weak_list = reinterpret_cast<PyObject **>(reinterpret_cast<char *>(array) + weak_list_offset);
        return *weak_list == nullptr;
    }

    Py_buffer view_{};
    bool acquired_ = false;
    unsigned char *base_ = nullptr;
    Py_ssize_t length_ = 0;
};

// Per field: the value is read before the row, and the row is fetched anew each time.
struct FieldCopy {
    PyObject *Names::*name;
    bool (*store_directly)(PyObject *value, unsigned char *element);
    int (*check_before_store)(PyObject *value, PyObject *row);  // or null
    FailureSite value_site;
    FailureSite row_site;
    FailureSite store_site;
};

const FieldCopy kFieldCopies[] = {
    {&Names::m, store_m, nullptr,
     ORB_SITE(kModuleSource, 40),
     ORB_SITE(kModuleSource, 40),
     ORB_SITE(kModuleSource, 40)},
    {&Names::r, store_r, nullptr,
     ORB_SITE(kModuleSource, 41),
     ORB_SITE(kModuleSource, 41),
     ORB_SITE(kModuleSource, 41)},
    {&Names::v, store_v, nullptr,
     ORB_SITE(kModuleSource, 42),
     ORB_SITE(kModuleSource, 42),
     ORB_SITE(kModuleSource, 42)},
    {&Names::probe, store_probe, check_probe_range,
     ORB_SITE(kModuleSource, 43),
     ORB_SITE(kModuleSource, 43),
     ORB_SITE(kModuleSource, 43)},
};

// The whole item stored at once, when it is an exact dict that holds exactly the four
// field names, as the very objects the module interned, each with a value stored directly.
// Nothing in that runs Python code: identical keys need no comparison, an exact dict has no
// __getitem__ of its own, and the values are only read; so the entries are read borrowed, in
// one pass over the dict, and the bytes are those that the field-by-field copy would store.
// False for anything else; the fields it stored before declining, that copy stores again,
// with the same bytes and before any Python code can run.
// Inlined in both of BodyArray's loops, whose values would otherwise be saved around it.
ORB_ALWAYS_INLINE bool store_exact_body(PyObject *item, unsigned char *element) noexcept {
    if (Py_TYPE(item) != &PyDict_Type || PyDict_GET_SIZE(item) != 4) return false;
    const Names &n = g_state.names;
    // Four distinct keys, each one of the four names: every field found once. Nothing runs
    // between reading the size and the entries, so there are four entries to read.
    PyObject *fields[4] = {};  // m, r, v, probe
    Py_ssize_t position = 0;
    for (int entry = 0; entry < 4; ++entry) {
        PyObject *key, *value;
        PyDict_Next(item, &position, &key, &value);
        const int field = key == n.m ? 0 : key == n.r ? 1 : key == n.v ? 2 : key == n.probe ? 3 : -1;
        if (field < 0) return false;
        fields[field] = value;
    }
    return store_m(fields[0], element) && store_r(fields[1], element) &&
           store_v(fields[2], element) && store_probe(fields[3], element);
}

// item[name], borrowed. An exact dict is read with its own subscript's lookup, without
// the generic dispatch in front of it, and `held` stays empty; anything else, a dict
// subclass too, through its __getitem__, and `held` owns the value.
PyObject *field_value(PyObject *item, PyObject *name, Owned &held) noexcept {
    if (PyDict_CheckExact(item)) return compat::exact_dict_subscript_borrowed(item, name);
    held = Owned::steal(PyObject_GetItem(item, name));
    return held.get();
}

// `element` is the item's memory when it may be written directly, else null.
int copy_field(const FieldCopy &field, PyObject *item, PyObject *array, PyObject *index,
               unsigned char *element) noexcept {
    PyObject *name = g_state.names.*field.name;
    Owned value;
    PyObject *found = field_value(item, name, value);
    if (!found) return record_failure(field.value_site);
    // A direct store runs no Python code, so a borrowed value is still alive for it.
    if (element && field.store_directly(found, element)) return 0;
    if (!value) value = Owned::borrow(found);
    Owned row = Owned::steal(PyObject_GetItem(array, index));
    if (!row) return record_failure(field.row_site);
    if (field.check_before_store && field.check_before_store(value.get(), row.get()) < 0)
        return record_failure(field.store_site);
    if (PyObject_SetItem(row.get(), name, value.get()) < 0) return record_failure(field.store_site);
    return 0;
}

// The item's fields one by one, in their order, each as the field table says; out of the
// loop, which stays short for the items stored at once.
ORB_COLD int copy_fields(PyObject *item, PyObject *array, PyObject *index,
                         unsigned char *element) noexcept {
    for (const FieldCopy &field : kFieldCopies)
        if (copy_field(field, item, array, index, element) < 0) return -1;
    return 0;
}

// The note on a failed copy of `item`, the element at `index` (an int): the site the copy
// recorded tells which field, and whether reading it or storing it failed. Kept out of line
// and not marked cold: inlined or marked cold, it made GCC 16 allot the registers of the loop
// that calls it otherwise, at 4 to 8 instructions more per element (bench/run.py
// --instructions); as it is, the loop's instructions are those it has without notes.
ORB_NOINLINE Failed note_copy_failure(PyObject *item, PyObject *index) noexcept {
    const int key = FailureScope::innermost()->site().key;
    for (const FieldCopy &field : kFieldCopies)
        if (key == field.value_site.key || key == field.row_site.key || key == field.store_site.key)
            return note_element_failure(g_state.names.*field.name, item, index, key == field.value_site.key);
    return {};
}

// np.empty(len(bodies), dtype=dtype), through the module's globals as they are now.
Owned make_empty_array(PyObject *bodies, PyObject *globals) noexcept {
    const Names &n = g_state.names;
    Owned np = global_lookup(globals, n.np);
    if (!np) return ORB_FAIL_AT(38);
    Owned empty = attribute_fetch(np.get(), n.empty);
    if (!empty) return ORB_FAIL_AT(38);
    np.reset();
    const Py_ssize_t length = PyObject_Size(bodies);
    if (length == -1) return ORB_FAIL_AT(38);
    Owned length_int = Owned::steal(PyLong_FromSsize_t(length));
    if (!length_int) return ORB_FAIL_AT(38);
    Owned args = Owned::steal(PyTuple_Pack(1, length_int.get()));
    if (!args) return ORB_FAIL_AT(38);
    Owned kwargs = Owned::steal(PyDict_New());
    if (!kwargs) return ORB_FAIL_AT(38);
    Owned dtype = global_lookup(globals, n.dtype);
    if (!dtype) return ORB_FAIL_AT(38);
    if (PyDict_SetItem(kwargs.get(), n.dtype, dtype.get()) < 0) return ORB_FAIL_AT(38);
    dtype.reset();
    Owned array = guarded_call(empty.get(), args.get(), kwargs.get());
    if (!array) return ORB_FAIL_AT(38);
    return array;
}

// The loop's counter after `count` items: the int that adding one to the one before makes,
// the same value and type, failing only as its allocation fails, by the cheapest exact call
// (PyLong_FromSsize_t costs a third more). A C long is narrower than Py_ssize_t on Windows.
Owned loop_counter(Py_ssize_t count) noexcept {
    if (count <= LONG_MAX) return Owned::steal(PyLong_FromLong(static_cast<long>(count)));
    return Owned::steal(PyLong_FromSsize_t(count));
}

Owned build_body_array(PyObject *argument, PyObject *globals) noexcept {
    // The caller's reference may go while list() runs the argument's own code.
    Owned held = Owned::borrow(argument);
    Owned bodies = Owned::steal(PySequence_List(held.get()));
    held.reset();
    if (!bodies) return ORB_FAIL_AT(37);
    Owned body_array = make_empty_array(bodies.get(), globals);
    if (!body_array) return {};
    const RecordMemory memory(body_array.get());
    Owned counter = Owned::borrow(g_state.int_0);
    Owned i, b;
    // The list is re-measured before every item: a __getitem__ may change its length.
    // Items stored at once are not held, since nothing runs while they are read; so until
    // the first that is not, the loop holds none.
    Py_ssize_t position = 0;
    bool copy_pending = false;
    for (; position < PyList_GET_SIZE(bodies.get()) && position < memory.direct_count(); ++position) {
        PyObject *item = PyList_GET_ITEM(bodies.get(), position);
        i = std::move(counter);
        counter = loop_counter(position + 1);
        if (!counter) return ORB_FAIL_AT(39);
        if (!store_exact_body(item, memory.element(position))) {
            copy_pending = true;
            break;
        }
    }
    // From that item on, each is held until the next replaces it, as `b` is before every
    // item: releasing it may run its finaliser.
    for (; position < PyList_GET_SIZE(bodies.get()); ++position) {
        b = Owned::borrow(PyList_GET_ITEM(bodies.get(), position));
        if (!copy_pending) {
            i = std::move(counter);
            counter = loop_counter(position + 1);
            if (!counter) return ORB_FAIL_AT(39);
        }
        copy_pending = false;
        unsigned char *element = position < memory.direct_count() ? memory.element(position) : nullptr;
        if (element && store_exact_body(b.get(), element)) continue;
        if (copy_fields(b.get(), body_array.get(), i.get(), element) < 0)
            return note_copy_failure(b.get(), i.get());
    }
    return body_array;
}

constexpr FailureSite kBodyArrayCallEventSite = ORB_SITE(kModuleSource, 35);

// `module`, BodyArray's self, is the module whose start-up made it: its globals are the
// ones BodyArray reads, whatever start-ups run later.
PyObject *BodyArray(PyObject *module, PyObject *bodies) noexcept {
    // Normally the code object made at start-up; made lazily only if that one is missing.
    if (g_state.body_array_code) g_body_array_profile.code = g_state.body_array_code;
    return run_profiled(g_body_array_profile, kBodyArrayCallEventSite, kBodyArrayName,
                        PyThreadState_Get(), module,
                        [bodies, module] { return build_body_array(bodies, PyModule_GetDict(module)); })
        .release();
}

// The signature line is for inspect; __doc__ is the text after it.
PyMethodDef g_body_array_definition = {
    "BodyArray", BodyArray, METH_O,
    "BodyArray(bodies, /)\n--\n\n"
    "Create an numpy array if bodies from an iterable of dicts."};

// ---------------------------------------------------------------------------------------
// Top-level statements

// The leading decimal digits of `text` as a number (0 without any), as atoi reads them,
// from its characters, so that no text is unreadable: -1 only if reading failed. Not atoi
// itself: a C++ build against glibc 2.38 or later takes its strtol as __isoc23_strtol, of
// symbol version GLIBC_2.38, which would lift the wheels' manylinux tag to 2_38.
long leading_number(PyObject *text) noexcept {
    long number = 0;
    const Py_ssize_t length = PyUnicode_GetLength(text);
    for (Py_ssize_t index = 0; index < length && number < 1000; ++index) {
        const Py_UCS4 character = PyUnicode_ReadChar(text, index);
        if (character == static_cast<Py_UCS4>(-1) && PyErr_Occurred()) return -1;
        if (character < '0' || character > '9') break;
        number = number * 10 + static_cast<long>(character - '0');
    }
    return length < 0 ? -1 : number;
}

// Whether the NumPy imported wraps out-of-range ints into int8: NumPy 1.x does. A
// __version__ that is missing, not a str or without a leading number counts as 1.x, whose
// check gives NumPy 2's own result. -1 only when looking it up or reading it raised.
int note_whether_numpy_wraps_integers(ModuleUnderConstruction &made, PyObject *numpy) noexcept {
    PyObject *dict = PyModule_Check(numpy) ? PyModule_GetDict(numpy) : nullptr;
    PyObject *version = dict ? PyDict_GetItemWithError(dict, g_state.names.version) : nullptr;
    if (!version && PyErr_Occurred()) return -1;
    const long major = version && PyUnicode_Check(version) ? leading_number(version) : 0;
    if (major < 0) return -1;
    made.numpy_wraps_integers = major < 2;
    return 0;
}

// import numpy as np
int import_numpy(ModuleUnderConstruction &made) noexcept {
    const Names &n = g_state.names;
    Owned locals = Owned::steal(PyDict_New());
    if (!locals) return ORB_FAIL_AT(13);
    Owned from_list = Owned::steal(PyList_New(0));
    if (!from_list) return ORB_FAIL_AT(13);
    Owned numpy = Owned::steal(PyImport_ImportModuleLevelObject(
        n.numpy, made.dict, locals.get(), from_list.get(), 0));
    if (!numpy) return ORB_FAIL_AT(13);
    from_list.reset();
    locals.reset();
    if (PyDict_SetItem(made.dict, n.np, numpy.get()) < 0) return ORB_FAIL_AT(13);
    if (note_whether_numpy_wraps_integers(made, numpy.get()) < 0) return ORB_FAIL_AT(13);
    return 0;
}

// (name, np.<type>) or (name, np.<type>, shape)
Owned describe_field(PyObject *globals, PyObject *name, PyObject *type_name,
                     PyObject *shape) noexcept {
    Owned np = global_lookup(globals, g_state.names.np);
    if (!np) return {};
    Owned type = attribute_fetch(np.get(), type_name);
    if (!type) return {};
    np.reset();
    if (shape) return Owned::steal(PyTuple_Pack(3, name, type.get(), shape));
    return Owned::steal(PyTuple_Pack(2, name, type.get()));
}

// dtype = np.dtype([("r", np.double, (3,)), ("v", np.double, (3,)),
//                   ("probe", np.int8), ("m", np.double)], align=False)
int define_record_dtype(ModuleUnderConstruction &made) noexcept {
    const Names &n = g_state.names;
    Owned r = describe_field(made.dict, n.r, n.double_, g_state.shape_r);
    if (!r) return ORB_FAIL_AT(18);
    Owned v = describe_field(made.dict, n.v, n.double_, g_state.shape_v);
    if (!v) return ORB_FAIL_AT(19);
    Owned probe = describe_field(made.dict, n.probe, n.int8, nullptr);
    if (!probe) return ORB_FAIL_AT(20);
    Owned m = describe_field(made.dict, n.m, n.double_, nullptr);
    if (!m) return ORB_FAIL_AT(21);
    Owned fields = Owned::steal(PyList_New(4));
    if (!fields) return ORB_FAIL_AT(17);
    PyList_SET_ITEM(fields.get(), 0, r.release());  // steals
    PyList_SET_ITEM(fields.get(), 1, v.release());  // steals
    PyList_SET_ITEM(fields.get(), 2, probe.release());  // steals
    PyList_SET_ITEM(fields.get(), 3, m.release());  // steals
    Owned args = Owned::steal(PyTuple_Pack(1, fields.get()));
    if (!args) return ORB_FAIL_AT(17);
    fields.reset();
    Owned kwargs = Owned::steal(PyDict_New());
    if (!kwargs) return ORB_FAIL_AT(22);
    if (PyDict_SetItem(kwargs.get(), n.align, Py_False) < 0) return ORB_FAIL_AT(22);
    Owned dtype = guarded_call(made.numpy_dtype, args.get(), kwargs.get());
    if (!dtype) return ORB_FAIL_AT(17);
    if (PyDict_SetItem(made.dict, n.dtype, dtype.get()) < 0) return ORB_FAIL_AT(17);
    made.record_dtype = std::move(dtype);
    return 0;
}

// Bound to the module, as Body is by the method table, so that it reads that module's
// globals and no other.
int define_body_array(ModuleUnderConstruction &made) noexcept {
    Owned function = Owned::steal(
        PyCFunction_NewEx(&g_body_array_definition, made.module, g_state.names.module_name));
    if (!function) return ORB_FAIL_AT(35);
    if (PyDict_SetItem(made.dict, g_state.names.BodyArray, function.get()) < 0)
        return ORB_FAIL_AT(35);
    return 0;
}

int define_test_dict(ModuleUnderConstruction &made) noexcept {
    Owned test = Owned::steal(PyDict_New());
    if (!test) return ORB_FAIL_AT(1);
    if (PyDict_SetItem(made.dict, g_state.names.test, test.get()) < 0) return ORB_FAIL_AT(1);
    return 0;
}

}  // namespace

// A signature for inspect and nothing else: Body has no documentation string of its own.
PyMethodDef kModuleMethods[] = {
    {"Body", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Body_arguments)),
     METH_VARARGS | METH_KEYWORDS,
     "Body($module, /, m=0.0, x=0.0, y=0.0, z=0.0, vx=0.0, vy=0.0, vz=0.0, probe=0)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

int run_module_statements(ModuleUnderConstruction &made) noexcept {
    if (import_numpy(made) < 0 || define_record_dtype(made) < 0 || define_body_array(made) < 0 ||
        define_test_dict(made) < 0)
        return -1;
    return 0;
}

}  // namespace orb
