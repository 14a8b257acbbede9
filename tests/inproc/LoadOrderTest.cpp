// What the library's static construction leaves behind, and the order in
// which unload destroys the module-wide objects.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/SceneContext.h"
#include "module/ModuleObjects.h"
#include "module/ServerTable.h"
#include "shader/RayRegistry.h"
#include "tests/inproc/AtExitRecorder.h"

using namespace velorastin;

TEST(LoadOrder, TheFilterPrototypeIsCurrentAfterLoad) {
    // The prototypes made themselves current before the scene context was
    // built, and building it did not reset the pointer.
    EXPECT_EQ(SceneContext::currentServer, static_cast<HandlerServer*>(&filterPrototype));
    EXPECT_EQ(serverTable.count, 2);
    EXPECT_EQ(serverTable.rows[0].serverName, shaderPrototype.serverName);
    EXPECT_EQ(serverTable.rows[1].serverName, filterPrototype.serverName);
}

TEST(LoadOrder, UnloadDestroysRegistryContextFilterShaderInThatOrder) {
    if (const char* why = atexit_recorder::notRecordedBecause()) GTEST_SKIP() << why;
    const std::vector<std::pair<const void*, std::string>> known = {
        {&shaderPrototype, "shader prototype"},
        {&filterPrototype, "filter prototype"},
        {&sceneContext, "scene context"},
        {&ownRayCallList, "ray-caller list"},
    };
    // Unload runs the queued destructors newest first.
    std::vector<std::string> unload;
    for (int i = atexit_recorder::queuedCount() - 1; i >= 0; --i) {
        for (const auto& [object, name] : known)
            if (atexit_recorder::queued(i).object == object) unload.push_back(name);
    }
    EXPECT_EQ(unload, (std::vector<std::string>{"ray-caller list", "scene context", "filter prototype",
                                                "shader prototype"}));
}
