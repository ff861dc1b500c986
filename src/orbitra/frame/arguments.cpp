// arguments.cpp: the argument binder, the keyword binder and the value conversions.
#include "frame/arguments.hpp"

#include <climits>
#include <utility>

#include "frame/compat.hpp"
#include "frame/failure.hpp"
#include "frame/protocol.hpp"

namespace orb {

namespace {

// Same object, or same wide length and equal text. 1 equal, 0 different, -1 error.
int names_equal(PyObject *name, PyObject *key) noexcept {
    if (name == key) return 1;
    const Py_ssize_t name_length = compat::unicode_wide_length(name);
    if (name_length < 0) return -1;
    const Py_ssize_t key_length = compat::unicode_wide_length(key);
    if (key_length < 0) return -1;
    if (name_length != key_length) return 0;
    const int order = PyUnicode_Compare(name, key);
    if (order < 0 && PyErr_Occurred()) return -1;
    return order == 0;
}

// Index of the name matching `key` among names[first, last), -1 if none, -2 on error.
Py_ssize_t find_name(PyObject *const *const *names, Py_ssize_t first, Py_ssize_t last,
                     PyObject *key) noexcept {
    for (Py_ssize_t index = first; index < last; ++index) {
        const int equal = names_equal(*names[index], key);
        if (equal < 0) return -2;
        if (equal) return index;
    }
    return -1;
}

Py_ssize_t count_names(PyObject *const *const *names) noexcept {
    Py_ssize_t count = 0;
    while (names[count]) ++count;
    return count;
}

}  // namespace

void raise_positional_count_error(const char *function_name, Py_ssize_t required,
                                  Py_ssize_t max_positional, Py_ssize_t given) noexcept {
    const bool too_few = given < required;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 function_name, too_few ? "at least" : "at most",
                 too_few ? required : max_positional, "s", given);
}

void raise_duplicate_keyword_error(const char *function_name, PyObject *key) noexcept {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                 function_name, key);
}

namespace {

// The keyword dict's entries as the call made them, each held here. Python code that a
// key comparison runs can change the dict but cannot reach this copy.
class KeywordSnapshot {
public:
    KeywordSnapshot() noexcept = default;
    KeywordSnapshot(const KeywordSnapshot &) = delete;
    KeywordSnapshot &operator=(const KeywordSnapshot &) = delete;
    ~KeywordSnapshot() {
        for (Py_ssize_t index = 0; index < size_; ++index) {
            Py_DECREF(entries_[index].key);
            Py_DECREF(entries_[index].value);
        }
        if (entries_ != inline_entries_) PyMem_Free(entries_);
    }

    // PyDict_Next runs no Python code, so the copy is the dict as it is now.
    // -1 with MemoryError when a large dict's entries cannot be given room.
    int take(PyObject *dict) noexcept {
        const Py_ssize_t capacity = PyDict_GET_SIZE(dict);
        if (capacity > kInlineEntries) {
            entries_ = PyMem_New(Entry, static_cast<size_t>(capacity));
            if (!entries_) {
                entries_ = inline_entries_;
                PyErr_NoMemory();
                return -1;
            }
        }
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (size_ < capacity && PyDict_Next(dict, &position, &key, &value)) {
            Py_INCREF(key);
            Py_INCREF(value);
            entries_[size_++] = {key, value};
        }
        return 0;
    }

    Py_ssize_t size() const noexcept { return size_; }
    PyObject *key(Py_ssize_t index) const noexcept { return entries_[index].key; }
    PyObject *value(Py_ssize_t index) const noexcept { return entries_[index].value; }

private:
    struct Entry {
        PyObject *key;
        PyObject *value;
    };
    static constexpr Py_ssize_t kInlineEntries = 8;
    Entry inline_entries_[kInlineEntries];
    Entry *entries_ = inline_entries_;
    Py_ssize_t size_ = 0;
};

// Walks every entry, in the dict's order; used when the lookups by name left one over.
int bind_keywords(const KeywordSnapshot &keywords, const ParameterList &parameters,
                  Py_ssize_t positional, Owned *slots) noexcept {
    PyObject *const *const *names = parameters.names;
    const Py_ssize_t count = count_names(names);
    for (Py_ssize_t entry = 0; entry < keywords.size(); ++entry) {
        PyObject *key = keywords.key(entry);
        Py_ssize_t index = positional;
        while (index < count && *names[index] != key) ++index;
        if (index < count) {
            slots[index] = Owned::borrow(keywords.value(entry));
            continue;
        }
        if (!PyType_HasFeature(Py_TYPE(key), Py_TPFLAGS_UNICODE_SUBCLASS)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings",
                         parameters.function_name);
            return -1;
        }
        index = find_name(names, positional, count, key);
        if (index == -2) return -1;
        if (index >= 0) {
            slots[index] = Owned::borrow(keywords.value(entry));
            continue;
        }
        index = find_name(names, 0, positional, key);
        if (index == -2) return -1;
        if (index >= 0) {
            raise_duplicate_keyword_error(parameters.function_name, key);
            return -1;
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     parameters.function_name, key);
        return -1;
    }
    return 0;
}

// One lookup per name not bound positionally, in parameter order, until every entry is
// accounted for. Gives the number of entries left over, or -1 when a lookup failed.
template <class Lookup>
Py_ssize_t bind_by_name(const ParameterList &parameters, Py_ssize_t positional,
                        Py_ssize_t remaining, Owned *slots, Lookup lookup) noexcept {
    PyObject *const *const *names = parameters.names;
    for (Py_ssize_t index = positional; remaining > 0 && names[index]; ++index) {
        if (Owned value = lookup(*names[index])) {
            slots[index] = std::move(value);
            --remaining;
        } else if (PyErr_Occurred()) {
            return -1;
        }
    }
    return remaining;
}

// What PyDict_GetItem(dict, name) finds in the dict the snapshot was taken from: the key
// that is the name, or one with the name's hash that compares equal to it. A comparison
// that fails ends the search with nothing found and its error dropped; a RecursionError
// stays pending.
Owned lookup_in_snapshot(const KeywordSnapshot &keywords, PyObject *name) noexcept {
    const Py_hash_t name_hash = PyObject_Hash(name);
    for (Py_ssize_t entry = 0; entry < keywords.size(); ++entry) {
        PyObject *key = keywords.key(entry);
        if (key == name) return Owned::borrow(keywords.value(entry));
        const Py_hash_t key_hash = PyObject_Hash(key);
        if (key_hash == -1 && !drop_error_unless_recursion()) return {};
        if (key_hash != name_hash) continue;
        const int equal = PyObject_RichCompareBool(key, name, Py_EQ);
        if (equal > 0) return Owned::borrow(keywords.value(entry));
        if (equal < 0) {
            drop_error_unless_recursion();
            return {};
        }
    }
    return {};
}

// Keys that are all exact str compare without running Python code, so the dict itself
// stays as the call made it while it is searched.
int bind_from_dict(const ParameterList &parameters, PyObject *kwargs, Py_ssize_t positional,
                   Owned *slots) noexcept {
    const Py_ssize_t remaining =
        bind_by_name(parameters, positional, PyDict_GET_SIZE(kwargs), slots,
                     [kwargs](PyObject *name) {
                         return Owned::steal(compat::dict_lookup(kwargs, name));
                     });
    if (remaining <= 0) return static_cast<int>(remaining);
    KeywordSnapshot keywords;
    if (keywords.take(kwargs) < 0) return -1;
    return bind_keywords(keywords, parameters, positional, slots);
}

// Any other key may run Python code when compared, which could change the dict midway;
// the same steps then run over the entries as the call made them.
int bind_from_snapshot(const ParameterList &parameters, PyObject *kwargs,
                       Py_ssize_t positional, Owned *slots) noexcept {
    KeywordSnapshot keywords;
    if (keywords.take(kwargs) < 0) return -1;
    const Py_ssize_t remaining =
        bind_by_name(parameters, positional, keywords.size(), slots,
                     [&keywords](PyObject *name) { return lookup_in_snapshot(keywords, name); });
    if (remaining <= 0) return static_cast<int>(remaining);
    return bind_keywords(keywords, parameters, positional, slots);
}

}  // namespace

Binding bind_arguments(const ParameterList &parameters, PyObject *args, PyObject *kwargs,
                       Owned *slots) noexcept {
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    if (positional > parameters.max_positional) {
        raise_positional_count_error(parameters.function_name, parameters.required,
                                     parameters.max_positional, positional);
        return Binding::kTooManyPositional;
    }
    for (Py_ssize_t index = 0; index < positional; ++index)
        slots[index] = Owned::borrow(PyTuple_GET_ITEM(args, index));
    if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) return Binding::kBound;
    const int bound = keys_are_exact_str(kwargs)
                          ? bind_from_dict(parameters, kwargs, positional, slots)
                          : bind_from_snapshot(parameters, kwargs, positional, slots);
    return bound < 0 ? Binding::kKeywordsRejected : Binding::kBound;
}

double to_double(PyObject *value) noexcept {
    if (Py_TYPE(value) == &PyFloat_Type) return PyFloat_AS_DOUBLE(value);
    return PyFloat_AsDouble(value);
}

Owned coerce_to_int(PyObject *value) noexcept {
    if (PyType_HasFeature(Py_TYPE(value), Py_TPFLAGS_LONG_SUBCLASS)) return Owned::borrow(value);
    PyNumberMethods *number = Py_TYPE(value)->tp_as_number;
    if (number && number->nb_int) {
        Owned result = Owned::steal(PyNumber_Long(value));
        if (result && !PyType_HasFeature(Py_TYPE(result.get()), Py_TPFLAGS_LONG_SUBCLASS)) {
            PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int",
                         "int", Py_TYPE(result.get())->tp_name);
            return {};
        }
        if (result) return result;
    }
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
    return {};
}

namespace {

signed char byte_or_overflow(long value) noexcept {
    if (value >= SCHAR_MIN && value <= SCHAR_MAX) return static_cast<signed char>(value);
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to char");
    return -1;
}

signed char int_to_signed_byte(PyObject *number) noexcept {
    long small;
    if (compat::long_single_digit_value(number, small)) return byte_or_overflow(small);
    // Fails with the interpreter's own overflow error beyond the range of a C long; its -1
    // then lies in range and stands as the sentinel.
    return byte_or_overflow(PyLong_AsLong(number));
}

}  // namespace

signed char to_signed_byte(PyObject *value) noexcept {
    if (PyType_HasFeature(Py_TYPE(value), Py_TPFLAGS_LONG_SUBCLASS)) return int_to_signed_byte(value);
    Owned number = coerce_to_int(value);
    if (!number) return -1;
    return int_to_signed_byte(number.get());
}

}  // namespace orb

