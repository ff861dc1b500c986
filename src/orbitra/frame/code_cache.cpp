// code_cache.cpp: the sorted table behind traceback code-object reuse.
#include "frame/code_cache.hpp"

#include <cstring>

namespace orb {

CodeCache g_code_cache;

int code_cache_position(const CodeCacheEntry *entries, int count, int key) noexcept {
    int start = 0, mid = 0, end = count - 1;
    // The usual case is a new site above every known one: no search.
    if (end >= 0 && key > entries[end].key) return count;
    while (start < end) {
        mid = start + (end - start) / 2;
        if (key < entries[mid].key)
            end = mid;
        else if (key > entries[mid].key)
            start = mid + 1;
        else
            return mid;
    }
    return key <= entries[mid].key ? mid : mid + 1;
}

PyObject *code_cache_find(const CodeCache &cache, int key) noexcept {
    if (!cache.entries) return nullptr;
    const int position = code_cache_position(cache.entries, cache.count, key);
    if (position >= cache.count || cache.entries[position].key != key) return nullptr;
    PyObject *code = cache.entries[position].code;
    Py_INCREF(code);
    return code;
}

void code_cache_insert(CodeCache &cache, int key, PyObject *code) noexcept {
    if (!cache.entries) {
        auto *entries = static_cast<CodeCacheEntry *>(
            PyMem_Malloc(kCodeCacheGrowth * sizeof(CodeCacheEntry)));
        if (!entries) return;
        Py_INCREF(code);
        entries[0] = {key, code};
        cache.entries = entries;
        cache.capacity = kCodeCacheGrowth;
        cache.count = 1;
        return;
    }
    const int position = code_cache_position(cache.entries, cache.count, key);
    if (cache.count == cache.capacity) {
        const int capacity = cache.capacity + kCodeCacheGrowth;
        auto *entries = static_cast<CodeCacheEntry *>(
            PyMem_Realloc(cache.entries, capacity * sizeof(CodeCacheEntry)));
        if (!entries) return;
        cache.entries = entries;
        cache.capacity = capacity;
    }
    std::memmove(&cache.entries[position + 1], &cache.entries[position],
                 (cache.count - position) * sizeof(CodeCacheEntry));
    Py_INCREF(code);
    cache.entries[position] = {key, code};
    cache.count++;
}

}  // namespace orb
