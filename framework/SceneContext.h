// The process-wide snapshot of the scene at the current server's time: a few
// words of the scene record, the first camera and the ambient colour.
#pragma once

#include <cstdint>

#include "framework/ItemFrame.h"
#include "framework/Vec3.h"

namespace velorastin {

class HandlerServer;

class SceneContext {
public:
    // Built at load after the server prototypes, which have already made
    // themselves current.
    SceneContext();
    SceneContext(const SceneContext&) = delete;
    SceneContext& operator=(const SceneContext&) = delete;
    ~SceneContext();

    // Re-reads the snapshot at currentServer's time. Services the module does
    // not hold are skipped and their fields keep their values.
    void refresh();

    // Not owned. There is one scene context, and the server prototypes make
    // themselves current while the library loads, before the context itself is
    // built: the pointer is constant-initialised, so it exists before any of
    // the module's objects and no constructor writes it.
    static constinit inline HandlerServer* currentServer = nullptr;
    CameraFrame camera;
    uint32_t sceneValue16;
    uint32_t renderFlags;  // bit 0 enables the light tests of the classification
    Vec3 ambient;
    uint32_t sceneValue0;
    uint32_t sceneValue4;
    uint32_t sceneValue88;
};

extern SceneContext sceneContext;

} // namespace velorastin
