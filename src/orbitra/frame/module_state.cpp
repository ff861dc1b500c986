// module_state.cpp: the module state and its interned name table.
#include "frame/module_state.hpp"

namespace orb {

ModuleState g_state;

namespace {

struct NameEntry {
    PyObject **slot;
    const char *text;
    Py_ssize_t size;  // including the terminating zero
    const char *encoding;
    bool is_unicode;
    bool is_str;
    bool intern;
};

#define ORB_NAME(slot, text) {&g_state.names.slot, text, sizeof(text), nullptr, true, false, true}

const NameEntry kNameTable[] = {
    ORB_NAME(BodyArray, "BodyArray"),
    ORB_NAME(align, "align"),
    ORB_NAME(b, "b"),
    ORB_NAME(bodies, "bodies"),
    ORB_NAME(body_array, "body_array"),
    ORB_NAME(double_, "double"),
    ORB_NAME(dtype, "dtype"),
    ORB_NAME(empty, "empty"),
    ORB_NAME(i, "i"),
    ORB_NAME(initializing, "_initializing"),
    ORB_NAME(int8, "int8"),
    ORB_NAME(m, "m"),
    ORB_NAME(np, "np"),
    ORB_NAME(numpy, "numpy"),
    ORB_NAME(module_name, "orbitra.body"),
    ORB_NAME(probe, "probe"),
    ORB_NAME(r, "r"),
    ORB_NAME(dunder_spec, "__spec__"),
    ORB_NAME(test, "__test__"),
    ORB_NAME(version, "__version__"),
    ORB_NAME(v, "v"),
    ORB_NAME(vx, "vx"),
    ORB_NAME(vy, "vy"),
    ORB_NAME(vz, "vz"),
    ORB_NAME(x, "x"),
    ORB_NAME(y, "y"),
    ORB_NAME(z, "z"),
    {&g_state.names.source_path, ORB_BODY_SOURCE_PATH, sizeof(ORB_BODY_SOURCE_PATH), nullptr,
     true, false, false},
};

#undef ORB_NAME

PyObject *make_name(const NameEntry &entry) noexcept {
    if (entry.is_unicode && entry.intern) return PyUnicode_InternFromString(entry.text);
    if (entry.is_unicode && entry.encoding)
        return PyUnicode_Decode(entry.text, entry.size - 1, entry.encoding, nullptr);
    if (entry.is_unicode || entry.is_str)
        return PyUnicode_FromStringAndSize(entry.text, entry.size - 1);
    return PyBytes_FromStringAndSize(entry.text, entry.size - 1);
}

}  // namespace

int fill_name_table() noexcept {
    for (const NameEntry &entry : kNameTable)
        if (make_once(*entry.slot, [&entry] { return make_name(entry); }) < 0) return -1;
    return 0;
}

}  // namespace orb
