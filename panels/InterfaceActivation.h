// The activation of "ShaderInterface" and "ImageFilterInterface" rows, which
// opens the option panel of the instance the host passes.
#pragma once

#include <cstdint>

#include "host/ModuleRecords.h"

namespace velorastin {

class HandlerServer;

extern HandlerServer* panelInstance;  // the instance whose panel was opened last; not owned
extern int32_t scratchValue;          // hands width and height to the panel service

int32_t interfaceActivation(int32_t version, host::GlobalLookup lookup, void* instance, void* serverData);

// Installed as the panel's callback: forwards to the last opened panel's controls.
int32_t panelCallback(intptr_t first, intptr_t second, int32_t third);

} // namespace velorastin
