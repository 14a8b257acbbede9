// The in-process registry through which plug-ins announce the rays they cast.
// It is shared by every party of the process through the render-memory block
// kRayCallListKey, which holds one pointer to the RayCallList in use.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/SampleAccess.h"

namespace host {

// Members of the host records align to at most 4 bytes, as in the 32-bit
// interface, so a double does not pad a record to a multiple of 8 on Windows.
#pragma pack(push, 4)

inline constexpr const char kRayCallListKey[] = "TARNE_rayCallList";

struct RayCallNode;

// Owned by the caller that cast the ray; a shader that matched writes its
// instance address into `shader`.
struct RayCallReply {
    uint32_t callerReserved0;
    void* shader;
};
static_assert(offsetof(RayCallReply, shader) == 4);

struct RayCallNode {
    RayCallNode* next;      // null ends the chain
    RayCallReply* reply;    // may be null
    int32_t kind;           // kRayCallerLight: matches in every direction and counts as a light
    uint32_t alignment;
    double start[3];        // world position the ray is cast from
    double direction[3];    // unit direction of the ray
    ItemId callerId;
    // Parties may make their nodes longer.
};
static_assert(offsetof(RayCallNode, next) == 0);
static_assert(offsetof(RayCallNode, reply) == 4);
static_assert(offsetof(RayCallNode, kind) == 8);
static_assert(offsetof(RayCallNode, start) == 16);
static_assert(offsetof(RayCallNode, direction) == 40);
static_assert(offsetof(RayCallNode, callerId) == 64);
static_assert(sizeof(RayCallNode) == 68);
inline constexpr int32_t kRayCallerLight = 2;

struct RayCallList {
    int32_t busy;           // non-zero while a party walks or changes the list
    uint32_t tag;           // a word other parties may set
    RayCallNode* head;      // null when empty
    uint32_t reserved;
};
static_assert(sizeof(RayCallList) == 16);
static_assert(offsetof(RayCallList, busy) == 0);
static_assert(offsetof(RayCallList, tag) == 4);
static_assert(offsetof(RayCallList, head) == 8);
static_assert(offsetof(RayCallList, reserved) == 12);

#pragma pack(pop)

} // namespace host
