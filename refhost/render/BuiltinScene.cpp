#include "refhost/platform/Platform.h"
#include "refhost/render/BuiltinScene.h"

#include <cstdio>
#include <cstdlib>

#include "refhost/render/BuiltinSceneText.h"

namespace refhost {

const char* builtinSceneText() { return kBuiltinSceneText; }

bool loadScene(const std::string& scene, const SceneOptions& options, Scene& out, std::string& error) {
    if (scene == kBuiltinSceneName) return parseScene(kBuiltinSceneText, kBuiltinSceneName, "", options, out, error);
    return readSceneFile(scene, options, out, error);
}

Scene builtinScene(int32_t width, int32_t height) {
    SceneOptions options;
    options.width = width;
    options.height = height;
    Scene scene;
    std::string error;
    if (!loadScene(kBuiltinSceneName, options, scene, error)) {
        // The text is the project's own and a test reads it: this is a build fault.
        platform::print(stderr, "refhost: the built-in scene does not read: %s\n", error.c_str());
        std::abort();
    }
    return scene;
}

} // namespace refhost
