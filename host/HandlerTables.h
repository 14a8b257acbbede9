// Handler tables a module's activation fills for the host. An instance is an
// opaque pointer that only the module interprets.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/ImageAccess.h"
#include "host/SampleAccess.h"

namespace host {

// Members of the host records align to at most 4 bytes, as in the 32-bit
// interface, so a double does not pad a record to a multiple of 8 on Windows.
#pragma pack(push, 4)

using Instance = void*;
using ErrorText = const char*;  // null means success

// Entries both handler classes share, in the same slots.
using CreateEntry = Instance (*)(void* hostData);     // the module ignores hostData
using DestroyEntry = void (*)(Instance);               // null is allowed
using CopyEntry = int32_t (*)(Instance source, Instance target); // target takes source's settings
using LoadEntry = int32_t (*)(Instance, void* state);
using SaveEntry = int32_t (*)(Instance, void* state);
using DescribeEntry = const char* (*)(Instance);       // text lives inside the instance

struct ShaderHandler {
    CreateEntry create;
    DestroyEntry destroy;
    CopyEntry copy;
    LoadEntry load;
    SaveEntry save;
    ErrorText (*init)(Instance);
    void (*cleanup)(Instance);
    ErrorText (*newTime)(Instance, int32_t frame, double time);
    void (*evaluate)(Instance, SampleAccess*);
    uint32_t (*flags)(Instance);
    DescribeEntry describe;  // filled only for interface version 2
};
static_assert(sizeof(ShaderHandler) == 44);
static_assert(offsetof(ShaderHandler, create) == 0);
static_assert(offsetof(ShaderHandler, destroy) == 4);
static_assert(offsetof(ShaderHandler, copy) == 8);
static_assert(offsetof(ShaderHandler, load) == 12);
static_assert(offsetof(ShaderHandler, save) == 16);
static_assert(offsetof(ShaderHandler, init) == 20);
static_assert(offsetof(ShaderHandler, cleanup) == 24);
static_assert(offsetof(ShaderHandler, newTime) == 28);
static_assert(offsetof(ShaderHandler, evaluate) == 32);
static_assert(offsetof(ShaderHandler, flags) == 36);
static_assert(offsetof(ShaderHandler, describe) == 40);

struct ImageFilterHandler {
    CreateEntry create;
    DestroyEntry destroy;
    CopyEntry copy;
    LoadEntry load;
    SaveEntry save;
    void (*process)(Instance, const ImageAccess*);
    int32_t (*flags)(Instance);
    DescribeEntry describe;  // filled only for interface version 2
};
static_assert(sizeof(ImageFilterHandler) == 32);
static_assert(offsetof(ImageFilterHandler, create) == 0);
static_assert(offsetof(ImageFilterHandler, destroy) == 4);
static_assert(offsetof(ImageFilterHandler, copy) == 8);
static_assert(offsetof(ImageFilterHandler, load) == 12);
static_assert(offsetof(ImageFilterHandler, save) == 16);
static_assert(offsetof(ImageFilterHandler, process) == 20);
static_assert(offsetof(ImageFilterHandler, flags) == 24);
static_assert(offsetof(ImageFilterHandler, describe) == 28);

#pragma pack(pop)

} // namespace host
