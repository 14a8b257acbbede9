// Reading scene files: defaults, every kind of item, references between
// fields, and the refusals with their places and limits.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "refhost/render/BuiltinScene.h"
#include "tests/render/RenderTesting.h"

using namespace refhost;
using render_testing::FakeAssets;
using render_testing::readText;
using render_testing::sceneOf;

namespace {

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The refusal of `text`, which must also leave the scene as it was.
std::string refusal(const std::string& text, FakeAssets* assets = nullptr, SceneOptions options = {}) {
    Scene scene;
    scene.source = "untouched";
    const std::string error = readText(text, scene, assets, options);
    EXPECT_NE(error, "") << text;
    EXPECT_EQ(scene.source, "untouched");
    return error;
}

} // namespace

TEST(SceneFile, AnEmptySceneHasTheDocumentedDefaults) {
    const Scene scene = sceneOf("{}");
    EXPECT_EQ(scene.model.record.frameWidth, 640);
    EXPECT_EQ(scene.model.record.frameHeight, 360);
    EXPECT_EQ(scene.model.record.pixelAspect, 1.0);
    EXPECT_EQ(scene.model.record.renderFlags & host::kRenderShadowsFlag, host::kRenderShadowsFlag);
    EXPECT_EQ(scene.framesPerSecond, 24.0);
    ASSERT_EQ(scene.model.itemsOfKind(host::kItemCamera).size(), 1u);
    const SceneItem& camera = *scene.model.itemsOfKind(host::kItemCamera).front();
    EXPECT_EQ(camera.param(host::kParamPosition, 0).z, -10.0);
    EXPECT_EQ(camera.param(host::kParamForward, 0).z, 1.0);
    EXPECT_EQ(camera.zoom(0), 3.2);
    EXPECT_TRUE(scene.model.itemsOfKind(host::kItemLight).empty());
    EXPECT_TRUE(scene.objects.empty());
}

TEST(SceneFile, ItemsAndSurfacesAreReadAsWritten) {
    FakeAssets assets;
    const Scene scene = sceneOf(R"({
      "frame": {"width": 320, "height": 200, "pixelAspect": 1.2, "fps": 30, "shadows": false},
      "background": [0.1, 0.2, 0.3], "ambient": [0.01, 0.02, 0.03],
      "camera": {"position": [1, 2, 3], "direction": [0, 0, 2], "zoom": 2.5},
      "lights": [
        {"type": "distant", "direction": [0, -3, 0]},
        {"name": "lamp", "type": "point", "position": [1, 1, 1], "colour": [1, 0.5, 0], "intensity": 2, "shadows": false},
        {"type": "spot", "position": [0, 4, 0], "target": [0, 0, 0], "cone": 20, "edge": 4}],
      "surfaces": {"brick": {"texture": {"image": "tex/b.png", "repeat": [2, 0.5]}, "mirror": 0.25}},
      "objects": [
        {"type": "sphere", "radius": 2, "surface": {"colour": [0.9, 0.1, 0.2], "specular": 0.4, "roughness": 0.1}},
        {"name": "wall", "type": "box", "size": [4, 2, 0.5], "position": [0, 1, 5], "surface": "brick"},
        {"type": "mesh", "file": "m.obj", "scale": 3, "surface": "brick"},
        {"type": "plane"}]
    })", &assets);
    const host::SceneInfo& record = scene.model.record;
    EXPECT_EQ(record.frameWidth, 320);
    EXPECT_EQ(record.pixelAspect, 1.2);
    EXPECT_EQ(record.renderFlags & host::kRenderShadowsFlag, 0u);
    EXPECT_EQ(scene.framesPerSecond, 30.0);
    EXPECT_EQ(scene.background.z, 0.3);
    EXPECT_EQ(scene.model.ambient(0).y, 0.02);

    const SceneItem& camera = *scene.model.itemsOfKind(host::kItemCamera).front();
    EXPECT_EQ(camera.param(host::kParamWorldPosition, 0).y, 2.0);
    EXPECT_EQ(camera.param(host::kParamForward, 0).z, 1.0);  // made unit length
    EXPECT_EQ(camera.zoom(0), 2.5);

    const auto lights = scene.model.itemsOfKind(host::kItemLight);
    ASSERT_EQ(lights.size(), 3u);
    EXPECT_EQ(lights[0]->lightKind, host::kLightDistant);
    EXPECT_EQ(lights[0]->shadowKind, host::kShadowRayTraced);
    EXPECT_EQ(lights[0]->param(host::kParamForward, 0).y, -1.0);
    EXPECT_EQ(lights[1]->name, "lamp");
    EXPECT_EQ(lights[1]->lightKind, host::kLightPoint);
    EXPECT_EQ(lights[1]->shadowKind, 0);
    EXPECT_EQ(lights[1]->colour.y, 0.5);
    EXPECT_EQ(lights[1]->intensity(0), 2.0);
    EXPECT_EQ(lights[2]->lightKind, host::kLightSpot);
    EXPECT_DOUBLE_EQ(lights[2]->coneAngle, 20.0 * M_PI / 180.0);
    EXPECT_DOUBLE_EQ(lights[2]->edgeAngle, 4.0 * M_PI / 180.0);
    EXPECT_EQ(lights[2]->param(host::kParamForward, 0).y, -1.0);

    ASSERT_EQ(scene.objects.size(), 4u);
    EXPECT_EQ(scene.objects[0].shape, SceneObject::Shape::Sphere);
    EXPECT_EQ(scene.objects[0].radius, 2.0);
    EXPECT_EQ(scene.objects[0].surface.colour.x, 0.9);
    EXPECT_EQ(scene.objects[0].surface.diffuse, 0.8);  // the default
    EXPECT_EQ(scene.objects[1].name, "wall");
    EXPECT_EQ(scene.objects[1].size.x, 4.0);
    EXPECT_EQ(scene.objects[1].surface.mirror, 0.25);
    EXPECT_EQ(scene.objects[1].surface.repeatV, 0.5);
    // One texture and one mesh, read once, relative to the scene's folder.
    EXPECT_EQ(scene.objects[1].surface.texture, scene.objects[2].surface.texture);
    EXPECT_EQ(assets.requests, (std::vector<std::string>{"texture scenes/tex/b.png", "mesh scenes/m.obj"}));
    EXPECT_EQ(scene.objects[2].scale, 3.0);
    ASSERT_TRUE(scene.objects[2].mesh);
    EXPECT_EQ(scene.objects[2].mesh->triangles.size(), 1u);
    EXPECT_EQ(scene.objects[3].shape, SceneObject::Shape::Plane);

    // Objects are items of kind 0 that the host reports where they are.
    const SceneItem& wall = *scene.model.item(scene.objects[1].id);
    EXPECT_EQ(wall.kind, host::kItemObject);
    EXPECT_EQ(wall.param(host::kParamPosition, 0).z, 5.0);
}

TEST(SceneFile, FieldOfViewFollowsTheFrameSizeGivenOnTheCommandLine) {
    SceneOptions options;
    options.width = 400;
    options.height = 100;
    Scene scene;
    ASSERT_EQ(readText(R"({"camera": {"fov": 90}})", scene, nullptr, options), "");
    EXPECT_EQ(scene.model.record.frameWidth, 400);
    // Half the horizontal view is 45 degrees: zoom is the frame aspect over tan 45.
    EXPECT_NEAR(scene.model.itemsOfKind(host::kItemCamera).front()->zoom(0), 4.0, 1e-12);
}

TEST(SceneFile, SyntaxErrorsNameTheLineAndColumn) {
    EXPECT_EQ(refusal("{\n  \"frame\": {\"width\": 3,}\n}").rfind("test.json:2:24: ", 0), 0u)
        << refusal("{\n  \"frame\": {\"width\": 3,}\n}");
    EXPECT_EQ(refusal("").rfind("test.json:1:1: ", 0), 0u);
    // A number beyond a double's range is refused, not thrown out of the reader.
    EXPECT_EQ(refusal("{\"frame\": {\"fps\": 1" + std::string(400, '0') + "}}").rfind("test.json: number overflow", 0), 0u);
    const std::string deep = std::string(100, '[') + std::string(100, ']');
    EXPECT_EQ(refusal("{\"a\": " + deep + "}"), "test.json:1:70: lists and objects nested more than 64 deep");
}

TEST(SceneFile, ContentErrorsNameTheFieldAndWhatWasExpected) {
    EXPECT_EQ(refusal(R"({"objects": [{"type": "sphere"}, {"type": "sphere", "radius": -1}]})"),
              "test.json: scene.objects[1].radius: expected a number from 1e-06 to 1000000, found -1");
    EXPECT_EQ(refusal(R"({"objects": [{"type": "cone"}]})"),
              "test.json: scene.objects[0].type: expected \"sphere\" or \"plane\" or \"box\" or \"mesh\", found \"cone\"");
    EXPECT_EQ(refusal(R"({"lights": [{"type": "point", "color": [1, 1, 1]}]})"),
              "test.json: scene.lights[0]: unknown field \"color\" (the field is \"colour\"); expected one of: name, "
              "type, position, target, direction, colour, intensity, shadows, cone, edge");
    EXPECT_EQ(refusal(R"({"camera": {"position": [1, 2]}})"),
              "test.json: scene.camera.position: expected three numbers from -1000000 to 1000000, as [x, y, z], "
              "found [1,2]");
    EXPECT_EQ(refusal(R"({"frame": {"width": 2.5}})"),
              "test.json: scene.frame.width: expected a whole number from 1 to 8192, found 2.5");
    EXPECT_EQ(refusal(R"({"objects": [{"type": "sphere", "surface": "gold"}]})"),
              "test.json: scene.objects[0].surface: expected the name of a surface in \"surfaces\", found \"gold\"");
    EXPECT_EQ(refusal(R"({"objects": [{"type": "plane", "radius": 1}]})"),
              "test.json: scene.objects[0]: a plane takes no \"radius\" (only spheres)");
    EXPECT_EQ(refusal(R"({"objects": [{"type": "mesh"}]})"),
              "test.json: scene.objects[0]: the field \"file\" is missing");
    EXPECT_EQ(refusal(R"({"camera": {"target": [0, 0, 0], "direction": [0, 0, 1]}})"),
              "test.json: scene.camera: give \"target\" or \"direction\", not both");
    EXPECT_EQ(refusal(R"({"lights": [{"type": "spot", "cone": 10, "edge": 20}]})"),
              "test.json: scene.lights[0].edge: expected a number from 0 to 10, found 20");
    EXPECT_EQ(refusal(R"({"camera": {"direction": [0, 0, 0]}})"),
              "test.json: scene.camera.direction: expected a direction (not [0, 0, 0]), found [0,0,0]");
    EXPECT_EQ(refusal(R"({"camera": {"position": [1, 2, 3], "target": [1, 2, 3]}})"),
              "test.json: scene.camera.target: the same point as \"position\"; expected a point away from it");
    EXPECT_EQ(refusal(R"({"objects": [{"type": "box", "target": [{"frame": 0, "value": [0, 0, 1]},
                                                                 {"frame": 6, "value": [0, 0, 0]}]}]})"),
              "test.json: scene.objects[0].target: the same point as \"position\" at frame 6; expected a point away "
              "from it");
    EXPECT_EQ(refusal(R"({"camera": {"zoom": [{"frame": 2, "value": 1}, {"frame": 2, "value": 3}]}})"),
              "test.json: scene.camera.zoom[1].frame: expected a frame after the previous key's, found 2");
}

// Where the view runs along the up there is nothing for the up to lean
// toward: it leans toward +y, or for a view along y toward +z looking down
// and -z looking up, at each time, for cameras and objects alike.
TEST(SceneFile, AViewAlongItsUpLeansTheUpTowardAnotherAxis) {
    struct Row {
        const char* scene;
        int32_t frame;
        Vec right, up;
    };
    const Row rows[] = {
        {R"({"camera": {"position": [0, 10, 0], "target": [0, 0, 0]}})", 0, {1, 0, 0}, {0, 0, 1}},
        {R"({"camera": {"direction": [0, 1, 0], "up": [0, 2, 0]}})", 0, {1, 0, 0}, {0, 0, -1}},
        {R"({"camera": {"direction": [3, 0, 0], "up": [-1, 0, 0]}})", 0, {0, 0, -1}, {0, 1, 0}},
        {R"({"camera": {"direction": [0, -1, 0], "up": [1, 0, 0]}})", 0, {0, 0, -1}, {1, 0, 0}},  // kept
        {R"({"camera": {"direction": [1e-9, -1, 0]}})", 0, {1, 0, 0}, {0, 0, 1}},
        {R"({"camera": {"direction": [1e-3, -1, 0]}})", 0, {0, 0, -1}, {1, 0, 0}},  // tilted: +y kept
        {R"({"camera": {"direction": [{"frame": 0, "value": [0, 0, 1]}, {"frame": 10, "value": [0, -1, 0]}]}})", 10,
         {1, 0, 0}, {0, 0, 1}},
        {R"({"objects": [{"type": "box", "direction": [0, 1, 0]}]})", 0, {1, 0, 0}, {0, 0, -1}},
    };
    auto expectNear = [](const Vec& a, const Vec& b, const char* what) {
        EXPECT_NEAR(a.x, b.x, 0.01) << what;
        EXPECT_NEAR(a.y, b.y, 0.01) << what;
        EXPECT_NEAR(a.z, b.z, 0.01) << what;
    };
    for (const Row& row : rows) {
        const Scene scene = sceneOf(row.scene);
        const double t = scene.timeOf(row.frame);
        if (scene.objects.empty()) {
            const SceneItem& camera = *scene.model.itemsOfKind(host::kItemCamera).front();
            expectNear(camera.param(host::kParamRight, t), row.right, row.scene);
            expectNear(camera.param(host::kParamUp, t), row.up, row.scene);
        } else {
            const Pose pose = scene.objects[0].poseAt(t);
            expectNear(pose.right, row.right, row.scene);
            expectNear(pose.up, row.up, row.scene);
        }
    }
}

TEST(SceneFile, MissingFilesNameThePathAsWrittenAndAsResolved) {
    FakeAssets assets;
    assets.textureWidth = 0;
    EXPECT_EQ(refusal(R"({"surfaces": {"s": {"texture": "t/x.png"}}})", &assets),
              "test.json: scene.surfaces.s.texture: cannot read \"t/x.png\" (resolved: scenes/t/x.png): cannot open: "
              "No such file or directory");
    // Through the file reader: a real scene file next to a missing mesh.
    const std::string folder = testing::TempDir();
    const std::string path = folder + "/missing-mesh.json";
    std::ofstream(path) << R"({"objects": [{"type": "mesh", "file": "no/such.obj"}]})";
    Scene scene;
    std::string error;
    EXPECT_FALSE(readSceneFile(path, {}, scene, error));
    const std::string resolved = (folder.back() == '/' ? folder : folder + "/") + "no/such.obj";
    EXPECT_EQ(error, path + ": scene.objects[0].file: cannot read \"no/such.obj\" (resolved: " + resolved +
                         "): cannot open: No such file or directory");
    EXPECT_FALSE(readSceneFile(folder + "/none.json", {}, scene, error));
    EXPECT_EQ(error, folder + "/none.json: cannot open: No such file or directory");
}

TEST(SceneFile, ATextureIsRefusedByItsHeaderBeforeItIsDecoded) {
    // A 124-byte TGA whose header claims 50431 x 9216 pixels.
    const std::string folder = testing::TempDir();
    std::string tga(124, '\0');
    tga[2] = 2;
    tga[12] = static_cast<char>(50431 & 0xFF);
    tga[13] = static_cast<char>(50431 >> 8);
    tga[14] = static_cast<char>(9216 & 0xFF);
    tga[15] = static_cast<char>(9216 >> 8);
    tga[16] = 24;
    std::ofstream(folder + "/claims.tga", std::ios::binary) << tga;
    const std::string path = folder + "/claims.json";
    std::ofstream(path) << R"({"surfaces": {"s": {"texture": "claims.tga"}}})";
    Scene scene;
    std::string error;
    EXPECT_FALSE(readSceneFile(path, {}, scene, error));
    EXPECT_NE(error.find("the file claims 50431 x 9216 pixels (464.8 Mpixel); refhost reads at most 67.1 Mpixel "
                         "(the scene's textures together)"),
              std::string::npos)
        << error;
}

TEST(SceneFile, LimitsAreRefusedWithTheFieldAndTheLimit) {
    SceneOptions options;
    options.limits.maxObjects = 2;
    options.limits.maxLights = 1;
    options.limits.maxTextures = 1;
    options.limits.maxTextureSide = 8;
    options.limits.maxTexturePixels = 20;
    options.limits.maxTriangles = 3;
    options.limits.maxFileBytes = 200;
    options.limits.maxKeys = 2;
    FakeAssets assets;
    EXPECT_EQ(refusal(R"({"objects": [{"type": "plane"}, {"type": "plane"}, {"type": "plane"}]})", &assets, options),
              "test.json: scene.objects: 3 objects; refhost reads at most 2");
    EXPECT_EQ(refusal(R"({"lights": [{"type": "point"}, {"type": "point"}]})", &assets, options),
              "test.json: scene.lights: 2 lights; refhost reads at most 1");
    EXPECT_EQ(refusal(R"({"surfaces": {"a": {"texture": "a.png"}, "b": {"texture": "b.png"}}})", &assets, options),
              "test.json: scene.surfaces.b.texture: more than 1 texture files; refhost reads at most 1");
    EXPECT_EQ(refusal(std::string(201, ' ') + "{}", &assets, options),
              "test.json: 203 bytes; refhost reads scene files of at most 200 bytes");
    EXPECT_EQ(refusal(R"({"camera": {"zoom": [{"frame": 1, "value": 1}, {"frame": 2, "value": 1}, {"frame": 3, "value": 1}]}})",
                      &assets, options),
              "test.json: scene.camera.zoom: 3 keys; refhost reads at most 2");
    assets.textureWidth = 9;
    EXPECT_EQ(refusal(R"({"surfaces": {"a": {"texture": "a.png"}}})", &assets, options),
              "test.json: scene.surfaces.a.texture: cannot read \"a.png\" (resolved: scenes/a.png): 9 x 2 pixels; "
              "refhost reads textures of at most 8 pixels each way");
    assets.textureWidth = 8;
    assets.textureHeight = 3;
    EXPECT_NE(refusal(R"({"surfaces": {"a": {"texture": "a.png"}}})", &assets, options)
                  .find("textures come to more than 20 pixels"),
              std::string::npos);
    // Triangles count over all meshes: two files of two triangles each.
    assets.meshText = "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\nf 1 2 4 3\n";
    const std::string error =
        refusal(R"({"objects": [{"type": "mesh", "file": "a.obj"}, {"type": "mesh", "file": "b.obj"}]})", &assets,
                options);
    EXPECT_EQ(error, "test.json: scene.objects[1].file: cannot read \"b.obj\" (resolved: scenes/b.obj): more than 1 "
                     "triangles; refhost reads meshes of at most 1 triangles (the scene's meshes together may have at "
                     "most 3)");
}

TEST(SceneFile, TheBuiltInSceneIsTheExampleFileAndEveryExampleReads) {
    EXPECT_EQ(std::string(builtinSceneText()), fileText(std::string(EXAMPLES_DIR) + "/builtin.json"));
    const Scene builtin = builtinScene();
    EXPECT_EQ(builtin.source, "builtin");
    EXPECT_EQ(builtin.objects.size(), 13u);
    EXPECT_EQ(builtin.model.itemsOfKind(host::kItemLight).size(), 2u);
    for (const char* name : {"builtin.json", "textured.json", "animated.json"}) {
        Scene scene;
        std::string error;
        EXPECT_TRUE(readSceneFile(std::string(EXAMPLES_DIR) + "/" + name, {}, scene, error)) << error;
    }
}
