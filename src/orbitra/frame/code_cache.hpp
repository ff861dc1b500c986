// code_cache.hpp: the process-wide table of traceback code objects, one per failure site.
#pragma once

#include <Python.h>

namespace orb {

struct CodeCacheEntry {
    int key;
    PyObject *code;  // owned by the cache for the life of the process
};

// Entries 0..count-1 in strictly ascending key order, no key twice, no key 0. The block
// grows by kCodeCacheGrowth entries when full and is never shrunk or released.
struct CodeCache {
    CodeCacheEntry *entries = nullptr;
    int count = 0;
    int capacity = 0;
};

inline constexpr int kCodeCacheGrowth = 64;

extern CodeCache g_code_cache;

// Index of the entry with `key`, or else where `key` belongs. `count` is at least 1.
int code_cache_position(const CodeCacheEntry *entries, int count, int key) noexcept;

// New reference to the code object cached under `key`, or null. Never sets an error.
PyObject *code_cache_find(const CodeCache &cache, int key) noexcept;

// Stores `code` (taking a reference of the cache's own) under a key not yet present.
// Allocation failure leaves the table as it was; never sets an error.
void code_cache_insert(CodeCache &cache, int key, PyObject *code) noexcept;

}  // namespace orb
