#include "framework/HandlerServer.h"

#include "framework/SceneContext.h"
#include "framework/Services.h"
#include "panels/OptionPanel.h"

namespace velorastin {

HandlerServer::HandlerServer() { sceneContext.currentServer = this; }

HandlerServer::~HandlerServer() {
    if (gradientService) {
        gradientService->release();
        gradientService = nullptr;
    }
    if (optionPanel) {
        delete optionPanel;
        optionPanel = nullptr;
    }
}

ErrorText HandlerServer::init() {
    if (ErrorText error = ServerObject::init()) return error;
    return acquireHandlerServices(*this);
}

void HandlerServer::copyFrom(const ServerObject& other) {
    if (const auto* source = dynamic_cast<const HandlerServer*>(&other)) {
        needsGradient = source->needsGradient;
        needsObjectAccess = source->needsObjectAccess;
    }
    ServerObject::copyFrom(other);
}

void HandlerServer::prepareTime() {}
void HandlerServer::afterCreate() {}
ErrorText HandlerServer::newTime(int32_t, double) { return nullptr; }
ErrorText HandlerServer::save(void*) { return nullptr; }
ErrorText HandlerServer::load(void*) { return nullptr; }
int32_t HandlerServer::reserved() { return 0; }
void HandlerServer::cleanup() {}

void HandlerServer::describe(char* buffer) {
    copyDescription(*reinterpret_cast<char(*)[kDescriptionSize]>(buffer), serverName);
}

ErrorText HandlerServer::advanceTime(int32_t newFrame, double newTime) {
    if (ErrorText error = init()) return error;
    previousFrame = frame;
    previousTime = time;
    frame = newFrame;
    time = newTime;
    sceneContext.currentServer = this;
    sceneContext.refresh();
    prepareTime();
    return nullptr;
}

} // namespace velorastin
