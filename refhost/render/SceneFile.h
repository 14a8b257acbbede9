// Scene files: the JSON scene format refhost renders (docs/scene-format.md
// describes every field), read into a Scene. Everything the file asks for is
// bounded before it is read or allocated, and every refusal names the file
// and the line and column (syntax) or the field (content), and what was
// expected. Meshes and textures are named relative to the scene file.
#pragma once

#include <cstdint>
#include <string>

#include "refhost/image/Image.h"
#include "refhost/render/Mesh.h"
#include "refhost/render/Scene.h"

namespace refhost {

inline constexpr int32_t kMaxFrameSide = 8192;  // pixels, each way

struct SceneLimits {
    int64_t maxFileBytes = 4ll << 20;      // the scene file itself
    int32_t maxObjects = 10000;
    int32_t maxLights = 256;
    int32_t maxKeys = 10000;               // keys of one animated value
    int64_t maxTriangles = 2000000;        // all meshes together
    int64_t maxMeshFileBytes = 128ll << 20;
    int32_t maxTextures = 64;              // distinct texture files
    int32_t maxTextureSide = 8192;         // pixels, each way
    int64_t maxTexturePixels = 64ll << 20; // all textures together
};

// Where meshes and textures come from. The default reads files; tests and the
// fuzzers stand in for it.
class AssetReader {
public:
    virtual ~AssetReader() = default;
    virtual bool readMesh(const std::string& path, const MeshLimits& limits, Mesh& mesh, std::string& error);
    // `limits` bound the image by its header, before it is decoded.
    virtual bool readTexture(const std::string& path, const ImageLimits& limits, Image& image, std::string& error);
};

struct SceneOptions {
    int32_t width = 0, height = 0;  // non-zero: replaces the file's frame size
    SceneLimits limits;
    AssetReader* assets = nullptr;  // null: files
};

// Reads the scene file at `path`. False with a message in `error`; `scene`
// is then left as it was.
bool readSceneFile(const std::string& path, const SceneOptions& options, Scene& scene, std::string& error);

// Reads scene text already in memory: `name` names it in messages, `folder`
// is where relative mesh and texture paths start ("" for the current folder).
bool parseScene(const std::string& text, const std::string& name, const std::string& folder,
                const SceneOptions& options, Scene& scene, std::string& error);

} // namespace refhost
