// The server kind the host binds through a handler table: service acquisition,
// frame and time bookkeeping and the default operations every server shares.
#pragma once

#include <cstdint>

#include "framework/ServerObject.h"
#include "host/ServiceRecords.h"

namespace velorastin {

class OptionPanel;

class HandlerServer : public ServerObject {
public:
    HandlerServer();  // becomes the scene context's current server
    ~HandlerServer() override;

    // Acquires every service this server needs, stopping at the first the host lacks.
    ErrorText init() override;
    void copyFrom(const ServerObject& other) override;
    virtual void prepareTime();
    virtual void afterCreate();
    virtual ErrorText newTime(int32_t frame, double time);
    virtual ErrorText save(void* state);
    virtual ErrorText load(void* state);
    virtual int32_t reserved();
    virtual void cleanup();
    // Writes the server name into a buffer of kDescriptionSize characters.
    virtual void describe(char* buffer);

    // The time step: services again, frame and time moved on, scene snapshot
    // refreshed at the new time, then prepareTime.
    ErrorText advanceTime(int32_t newFrame, double newTime);

    int32_t needsObjectAccess = 0;
    int32_t needsGradient = 0;
    OptionPanel* optionPanel = nullptr;               // owned
    host::ReleasableService* gradientService = nullptr; // released by the destructor
    // Set by advanceTime (all four) and by an image filter's process entry (time).
    int32_t frame = 0;
    double time = 0.0;
    int32_t previousFrame = 0;
    double previousTime = 0.0;
};

} // namespace velorastin
