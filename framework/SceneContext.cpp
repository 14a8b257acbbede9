#include "framework/SceneContext.h"

#include "framework/HandlerServer.h"
#include "framework/Services.h"

namespace velorastin {

SceneContext::SceneContext()
    : sceneValue16(0), renderFlags(0), ambient(), sceneValue0(0), sceneValue4(0), sceneValue88(0) {}

SceneContext::~SceneContext() = default;

void SceneContext::refresh() {
    if (sceneInfo) {
        sceneValue0 = sceneInfo->word0;
        sceneValue4 = sceneInfo->word4;
        sceneValue16 = sceneInfo->word16;
        renderFlags = sceneInfo->renderFlags;
        sceneValue88 = sceneInfo->word88;
    }
    camera.owner = currentServer;
    camera.update();
    if (lightInfo) lightInfo->ambient(currentServer ? currentServer->time : 0.0, ambient.data());
}

} // namespace velorastin
