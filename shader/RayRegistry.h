// The shared ray-caller registry and the viewer classification of samples.
#pragma once

#include "host/RayRegistry.h"

namespace velorastin {

class ShadingSample;

// The module's own list, published when no other party has published one.
// Nodes still chained at unload are freed.
class OwnRayCallList {
public:
    OwnRayCallList() = default;
    OwnRayCallList(const OwnRayCallList&) = delete;
    OwnRayCallList& operator=(const OwnRayCallList&) = delete;
    ~OwnRayCallList();

    host::RayCallList list{};
};

extern OwnRayCallList ownRayCallList;

// Enters the list's busy section: waits for `busy` to read 0, then takes it.
void enterRayCallList(host::RayCallList& list);
void leaveRayCallList(host::RayCallList& list);

// The first node whose ray reached the sample, or null.
host::RayCallNode* find(host::RayCallList& list, const ShadingSample& sample);

// Sets the sample's viewer fields; may change its owner's cachedLight.
void classify(ShadingSample& sample);

} // namespace velorastin
