// The scene-file reader with arbitrary text: it reads or refuses with a
// message, never crashes, and what it reads renders. Meshes and textures the
// text names are served from memory (fuzz_mesh and the image reader's harness
// cover their readers).
#include <cmath>
#include <string>

#include "refhost/render/Renderer.h"
#include "refhost/render/SceneFile.h"
#include "tests/fuzz/FuzzInput.h"

namespace {

class MemoryAssets : public refhost::AssetReader {
public:
    bool readMesh(const std::string& path, const refhost::MeshLimits& limits, refhost::Mesh& mesh,
                  std::string& error) override {
        return refhost::parseObj("v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 1\nvt 0 0\nvt 1 1\nf 1/1 2/2 3/1 4/2\n", path,
                                 limits, mesh, error);
    }
    bool readTexture(const std::string& path, const refhost::ImageLimits&, refhost::Image& image,
                     std::string& error) override {
        if (path.size() % 7 == 0) {
            error = path + ": cannot open: No such file or directory";
            return false;
        }
        image = refhost::Image(static_cast<int32_t>(path.size() % 5) + 1, 2, false);
        for (std::size_t i = 0; i < image.rgba.size(); ++i) image.rgba[i] = static_cast<uint8_t>(i * 37);
        return true;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    MemoryAssets assets;
    refhost::SceneOptions options;
    options.assets = &assets;
    // Small frames: the point is every value the file can hold, not pixels.
    options.width = 4;
    options.height = 3;
    refhost::Scene scene;
    std::string error;
    if (!refhost::parseScene(text, "fuzz.json", "scenes", options, scene, error)) {
        if (error.rfind("fuzz.json", 0) != 0) fuzzing::fail("a refusal that does not name the file");
        return 0;
    }
    if (scene.model.itemsOfKind(host::kItemCamera).size() != 1) fuzzing::fail("a scene without its one camera");
    for (double time : {0.0, 0.5, -3.0}) {
        const refhost::Renderer renderer(scene, time);
        refhost::Image image;
        refhost::ImageSettings settings;
        settings.samples = 2;
        renderer.renderImage({}, settings, image);
        if (image.width != 4 || image.height != 3) fuzzing::fail("the frame is not the size asked for");
    }
    return 0;
}
