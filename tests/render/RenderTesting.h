// Helpers for the scene, mesh and renderer tests: scenes from text, and an
// asset reader that serves made-up meshes and textures and records what it
// was asked for.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "refhost/render/SceneFile.h"

namespace render_testing {

class FakeAssets : public refhost::AssetReader {
public:
    bool readMesh(const std::string& path, const refhost::MeshLimits& limits, refhost::Mesh& mesh,
                  std::string& error) override {
        requests.push_back("mesh " + path);
        return refhost::parseObj(meshText, path, limits, mesh, error);
    }
    bool readTexture(const std::string& path, const refhost::ImageLimits&, refhost::Image& image,
                     std::string& error) override {
        requests.push_back("texture " + path);
        if (textureWidth == 0) {
            error = path + ": cannot open: No such file or directory";
            return false;
        }
        image = refhost::Image(textureWidth, textureHeight, false);
        for (std::size_t i = 0; i < image.rgba.size(); ++i) image.rgba[i] = static_cast<uint8_t>(i * 7);
        return true;
    }

    std::string meshText = "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n";
    int32_t textureWidth = 4, textureHeight = 2;
    std::vector<std::string> requests;
};

// Reads `text` as a scene file in folder "scenes"; the error, or "" when it reads.
inline std::string readText(const std::string& text, refhost::Scene& scene, FakeAssets* assets = nullptr,
                            refhost::SceneOptions options = {}) {
    options.assets = assets;
    std::string error;
    return refhost::parseScene(text, "test.json", "scenes", options, scene, error) ? std::string() : error;
}

inline refhost::Scene sceneOf(const std::string& text, FakeAssets* assets = nullptr) {
    refhost::Scene scene;
    const std::string error = readText(text, scene, assets);
    EXPECT_EQ(error, "");
    return scene;
}

} // namespace render_testing
