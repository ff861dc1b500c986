// body.hpp: the Body record, its options block and the native record builder.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "frame/owned.hpp"

namespace orb {

// 57 bytes, packed: the layout of one element of the record dtype, byte for byte.
#pragma pack(push, 1)
struct BodyRecord {
    double r[3];
    double v[3];
    std::int8_t probe;
    double m;  // unaligned
};
#pragma pack(pop)

static_assert(sizeof(BodyRecord) == 57, "the record is 57 packed bytes");
static_assert(offsetof(BodyRecord, r) == 0, "r starts the record");
static_assert(offsetof(BodyRecord, v) == 24, "v follows r");
static_assert(offsetof(BodyRecord, probe) == 48, "probe follows v");
static_assert(offsetof(BodyRecord, m) == 49, "m follows probe, unaligned");

// Optional values for the native builder: the first `count` of m, x, y, z, vx, vy, vz,
// probe are used, the rest keep their defaults (0.0 and 0).
struct BodyOptions {
    std::int32_t count;
    double m;
    double x, y, z;
    double vx, vy, vz;
    std::int8_t probe;
};

// Builds a record; null options means none given. Never reports an error to its caller.
BodyRecord Body(const BodyOptions *options) noexcept;

// Fills `dict`, a new empty dict, with the record's r, v, probe and m, in that order.
// Gives the dict back filled, or nothing (the dict released) with an error set.
Owned record_to_dict(const BodyRecord &record, Owned dict) noexcept;

}  // namespace orb
