#include "shader/ShadingSample.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace velorastin {

ShadingSample::ShadingSample() = default;

void ShadingSample::attach(host::SampleAccess* record) {
    releaseRecord();  // a sample that held a private copy would otherwise lose it
    access = record;
    ownsAccess = 0;
    registryTag = 0;
    viewerId = 0;
    unpack();
}

void ShadingSample::unpack() {
    const host::SampleAccess& r = *access;
    pixelX = r.pixelX;
    pixelY = r.pixelY;
    objectPosition = vec3From(r.objectPosition);
    worldPosition = vec3From(r.worldPosition);
    geometricNormal = vec3From(r.geometricNormal);
    spotExtent = r.spotSize;
    rayOrigin = vec3From(r.raySource);
    rayDistance = r.rayLength;
    hitCosine = r.hitCosine;
    // Copies of a size known here, which the compiler writes out in place.
    objectTransform.resize(3, 3);
    std::memcpy(objectTransform.data, r.objectTransform, sizeof r.objectTransform);
    worldTransform.resize(3, 3);
    std::memcpy(worldTransform.data, r.worldTransform, sizeof r.worldTransform);
    itemId = r.itemId;
    polygonIndex = r.polygonIndex;
    shadingNormal = vec3From(r.shadingNormal);
    colour = vec3From(r.colour);
    luminosity = r.luminosity;
    diffuseLevel = r.diffuse;
    specularLevel = r.specular;
    reflection = r.mirror;
    transparency = r.transparency;
    refractiveIndex = r.eta;
    roughness = r.roughness;
}

void ShadingSample::writeBack() {
    host::SampleAccess& r = *access;
    storeVec3(shadingNormal, r.shadingNormal);
    storeVec3(colour, r.colour);
    r.luminosity = luminosity;
    r.diffuse = diffuseLevel;
    r.specular = specularLevel;
    r.mirror = reflection;
    r.transparency = transparency;
    r.eta = refractiveIndex;
    r.roughness = roughness;
    if (node && node->reply) node->reply->shader = owner;
}

void ShadingSample::assignFrom(const ShadingSample& other) {
    if (this == &other) return;
    if (other.access) {
        auto* copy = static_cast<host::SampleAccess*>(std::malloc(sizeof(host::SampleAccess)));
        if (!copy) throw std::bad_alloc();
        std::memcpy(copy, other.access, sizeof(host::SampleAccess));
        releaseRecord();
        access = copy;
        ownsAccess = 1;
    } else {
        releaseRecord();  // a blank source has no record to copy
    }

    node = other.node;
    owner = other.owner;
    viewerMode = other.viewerMode;
    nodeKind = other.nodeKind;
    registryTag = other.registryTag;
    viewerId = other.viewerId;
    pixelX = other.pixelX;
    pixelY = other.pixelY;
    objectPosition = other.objectPosition;
    worldPosition = other.worldPosition;
    geometricNormal = other.geometricNormal;
    spotExtent = other.spotExtent;
    rayOrigin = other.rayOrigin;
    rayDistance = other.rayDistance;
    hitCosine = other.hitCosine;
    objectTransform = other.objectTransform;
    worldTransform = other.worldTransform;
    itemId = other.itemId;
    polygonIndex = other.polygonIndex;
    shadingNormal = other.shadingNormal;
    colour = other.colour;
    luminosity = other.luminosity;
    diffuseLevel = other.diffuseLevel;
    specularLevel = other.specularLevel;
    reflection = other.reflection;
    transparency = other.transparency;
    refractiveIndex = other.refractiveIndex;
    roughness = other.roughness;
}

void fillDefaultRecord(host::SampleAccess& r) {
    std::memset(&r, 0, sizeof r);
    static constexpr double kIdentity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    r.pixelX = -42;
    r.pixelY = -42;
    storeVec3(origin, r.objectPosition);
    storeVec3(origin, r.worldPosition);
    storeVec3(upVector, r.geometricNormal);
    r.spotSize = 1.0;
    storeVec3(origin, r.raySource);
    // The single-precision value nearest 1.3e12, widened: 1300000014336.0.
    r.rayLength = static_cast<double>(1.3e12f);
    r.hitCosine = 1.0;
    std::memcpy(r.objectTransform, kIdentity, sizeof kIdentity);
    std::memcpy(r.worldTransform, kIdentity, sizeof kIdentity);
    r.itemId = 0;
    r.polygonIndex = 0;
    storeVec3(upVector, r.shadingNormal);
    storeVec3(white, r.colour);
    r.luminosity = 0.0;
    r.diffuse = 0.0;
    r.specular = 0.0;
    r.mirror = 0.0;
    r.transparency = 1.0;
    r.eta = 1.0;
    r.roughness = 1.0;
}

} // namespace velorastin
