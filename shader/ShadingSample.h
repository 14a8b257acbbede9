// The framework's working copy of one host SampleAccess record. Evaluate
// operations change the sample; only the shading normal, the colour and the
// seven surface levels travel back to the record.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "framework/Matrix.h"
#include "framework/Vec3.h"
#include "host/RayRegistry.h"
#include "host/SampleAccess.h"

namespace velorastin {

class ShaderServer;

// Who looks at a shaded point.
enum SampleViewer : int32_t {
    Ordinary = 0,
    LightRay = 1,
    SpecialItem = 2,
};

class ShadingSample {
public:
    // A blank sample: no record, everything zero.
    ShadingSample();
    // A sample that refers to `record` without owning it, unpacked from it.
    // Defined here, like the destructor: the evaluate entry makes and ends
    // one sample a call, and calls out to them cost more than their own work.
    ShadingSample(ShaderServer* ownerServer, host::SampleAccess* record) : owner(ownerServer), access(record) {
        unpack();
    }
    ShadingSample(const ShadingSample&) = delete;
    ShadingSample& operator=(const ShadingSample&) = delete;
    ~ShadingSample() { releaseRecord(); }

    void attach(host::SampleAccess* record);
    void unpack();
    void writeBack();
    // Deep copy: a private copy of other's record and of all its fields.
    void assignFrom(const ShadingSample& other);

    host::RayCallNode* node = nullptr;   // the registered caller that matched, if any
    ShaderServer* owner = nullptr;
    host::SampleAccess* access = nullptr;
    int32_t ownsAccess = 0;
    int32_t viewerMode = Ordinary;
    int32_t nodeKind = 0;
    int32_t pixelX = 0;
    int32_t pixelY = 0;
    Vec3 objectPosition;
    Vec3 worldPosition;
    Vec3 geometricNormal;
    double spotExtent = 0.0;
    Vec3 rayOrigin;
    double rayDistance = 0.0;
    double hitCosine = 0.0;
    Matrix objectTransform;
    Matrix worldTransform;
    host::ItemId itemId = 0;
    int32_t polygonIndex = 0;
    Vec3 shadingNormal;
    Vec3 colour;
    double luminosity = 0.0;
    double diffuseLevel = 0.0;
    double specularLevel = 0.0;
    double reflection = 0.0;
    double transparency = 0.0;
    double refractiveIndex = 0.0;
    double roughness = 0.0;
    uint32_t registryTag = 0;
    host::ItemId viewerId = 0;

private:
    void releaseRecord() {
        if (ownsAccess) std::free(access);
        ownsAccess = 0;
        access = nullptr;
    }
};

// The record every shader server builds its template samples from.
void fillDefaultRecord(host::SampleAccess& record);

} // namespace velorastin
