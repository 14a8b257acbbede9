// The record a host hands to a shader's evaluate entry for one shaded point.
// Owned by the host for the duration of the call; the shader reads it and
// writes back the shading normal, the colour and the seven surface levels.
#pragma once

#include <cstddef>
#include <cstdint>

namespace host {

// Members of the host records align to at most 4 bytes, as in the 32-bit
// interface, so a double does not pad a record to a multiple of 8 on Windows.
#pragma pack(push, 4)

using ItemId = uint32_t;  // opaque host item identifier; 0 means "no item"

struct SampleAccess {
    int32_t pixelX;
    int32_t pixelY;
    double objectPosition[3];
    double worldPosition[3];
    double geometricNormal[3];
    double spotSize;
    double raySource[3];        // world position the ray that reached the point started from
    double rayLength;
    double hitCosine;
    double objectTransform[9];  // 3 x 3, row-major
    double worldTransform[9];   // 3 x 3, row-major
    ItemId itemId;              // item of the shaded surface
    int32_t polygonIndex;
    // Fields below, up to `roughness`, are the ones a shader may change.
    double shadingNormal[3];
    double colour[3];           // red, green, blue
    double luminosity;
    double diffuse;
    double specular;
    double mirror;
    double transparency;
    double eta;
    double roughness;
    void* hostFunctions[4];     // host services for the shader; the framework never calls them
};
static_assert(sizeof(SampleAccess) == 400);
static_assert(offsetof(SampleAccess, pixelX) == 0);
static_assert(offsetof(SampleAccess, pixelY) == 4);
static_assert(offsetof(SampleAccess, objectPosition) == 8);
static_assert(offsetof(SampleAccess, worldPosition) == 32);
static_assert(offsetof(SampleAccess, geometricNormal) == 56);
static_assert(offsetof(SampleAccess, spotSize) == 80);
static_assert(offsetof(SampleAccess, raySource) == 88);
static_assert(offsetof(SampleAccess, rayLength) == 112);
static_assert(offsetof(SampleAccess, hitCosine) == 120);
static_assert(offsetof(SampleAccess, objectTransform) == 128);
static_assert(offsetof(SampleAccess, worldTransform) == 200);
static_assert(offsetof(SampleAccess, itemId) == 272);
static_assert(offsetof(SampleAccess, polygonIndex) == 276);
static_assert(offsetof(SampleAccess, shadingNormal) == 280);
static_assert(offsetof(SampleAccess, colour) == 304);
static_assert(offsetof(SampleAccess, luminosity) == 328);
static_assert(offsetof(SampleAccess, diffuse) == 336);
static_assert(offsetof(SampleAccess, specular) == 344);
static_assert(offsetof(SampleAccess, mirror) == 352);
static_assert(offsetof(SampleAccess, transparency) == 360);
static_assert(offsetof(SampleAccess, eta) == 368);
static_assert(offsetof(SampleAccess, roughness) == 376);
static_assert(offsetof(SampleAccess, hostFunctions) == 384);

// The byte range a shader may change: shading normal through roughness.
inline constexpr std::size_t kSampleWritableBegin = offsetof(SampleAccess, shadingNormal);
inline constexpr std::size_t kSampleWritableEnd = offsetof(SampleAccess, hostFunctions);
static_assert(kSampleWritableBegin == 280 && kSampleWritableEnd == 384);

#pragma pack(pop)

} // namespace host
