#include "refhost/render/SceneFile.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "refhost/platform/Platform.h"
#include "refhost/render/BoundedFile.h"
#include "refhost/render/SceneFields.h"

namespace refhost {

namespace {

// Coordinates and sizes beyond this lose the precision a ray needs.
constexpr double kFar = 1e6;
// Deeper nesting than any scene needs is refused before the parser sees it.
constexpr int32_t kMaxNesting = 64;

double radians(double degrees) { return degrees * (std::numbers::pi / 180.0); }

// A key's frame as the file would write it: whole frames without a fraction.
std::string frameText(double frame) {
    return frame == std::floor(frame) ? std::to_string(static_cast<int64_t>(frame)) : nlohmann::json(frame).dump();
}

// Line and column (both from 1) of byte `offset` of `text`.
void lineAndColumn(const std::string& text, std::size_t offset, std::size_t& line, std::size_t& column) {
    line = 1;
    column = 1;
    for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
}

std::string place(const std::string& name, const std::string& text, std::size_t offset) {
    std::size_t line = 0, column = 0;
    lineAndColumn(text, offset, line, column);
    return name + ":" + std::to_string(line) + ":" + std::to_string(column);
}

// The offset of the first bracket nested deeper than kMaxNesting, or npos.
std::size_t tooDeep(const std::string& text) {
    int32_t depth = 0;
    bool inString = false, escaped = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxNesting) return i;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return std::string::npos;
}

// nlohmann's message without its own prefix and position, which the caller
// gives as file:line:column.
std::string syntaxMessage(const nlohmann::json::parse_error& e) {
    std::string what = e.what();
    const std::size_t column = what.find(", column ");
    if (column != std::string::npos) {
        const std::size_t colon = what.find(": ", column);
        if (colon != std::string::npos) return what.substr(colon + 2);
    }
    const std::size_t bracket = what.find("] ");
    return bracket == std::string::npos ? what : what.substr(bracket + 2);
}

AssetReader fileAssets;

class Reader {
public:
    Reader(const std::string& folder, const SceneOptions& options)
        : folder_(folder), options_(options), limits_(options.limits),
          assets_(options.assets ? *options.assets : fileAssets) {}

    void read(const Field& root, Scene& scene) {
        root.expectObject({"frame", "background", "ambient", "camera", "lights", "surfaces", "objects"});
        scene.model = SceneModel::basic();
        readFrame(root.find("frame"), scene);
        fps_ = scene.framesPerSecond;
        if (auto background = root.find("background")) scene.background = background->vec(0.0, kFar);
        scene.model.ambient = constant({});
        if (auto ambient = root.find("ambient")) scene.model.ambient = ambient->vecTrack(0.0, kFar, fps_, limits_.maxKeys, false);
        readCamera(root.find("camera"), scene);
        if (auto lights = root.find("lights"))
            for (const Field& light : lights->items(limits_.maxLights, "lights")) readLight(light, scene);
        if (auto surfaces = root.find("surfaces")) {
            if (!surfaces->json().is_object()) surfaces->fail("an object of named surfaces");
            for (const auto& [name, value] : surfaces->json().items())
                surfaces_[name] = readSurface(Field(value, surfaces->path() + "." + name));
        }
        if (auto objects = root.find("objects"))
            for (const Field& object : objects->items(limits_.maxObjects, "objects")) readObject(object, scene);
    }

private:
    void readFrame(const std::optional<Field>& frame, Scene& scene) {
        host::SceneInfo& record = scene.model.record;
        record.frameWidth = 640;
        record.frameHeight = 360;
        if (frame) {
            frame->expectObject({"width", "height", "pixelAspect", "fps", "shadows"});
            if (auto w = frame->find("width")) record.frameWidth = w->integer(1, kMaxFrameSide);
            if (auto h = frame->find("height")) record.frameHeight = h->integer(1, kMaxFrameSide);
            record.pixelAspect = numberOr(*frame, "pixelAspect", 1.0, 0.1, 10.0);
            scene.framesPerSecond = numberOr(*frame, "fps", 24.0, 0.001, 1000.0);
            if (!booleanOr(*frame, "shadows", true)) record.renderFlags &= ~host::kRenderShadowsFlag;
        }
        if (options_.width > 0) record.frameWidth = options_.width;
        if (options_.height > 0) record.frameHeight = options_.height;
    }

    // The forward direction over time: toward a target, or along a direction.
    VecOfTime aim(const Field& item, const VecOfTime& position, Vec fallback) const {
        auto target = item.find("target");
        auto direction = item.find("direction");
        if (target && direction) throw SceneError(item.path() + ": give \"target\" or \"direction\", not both");
        if (direction) return direction->vecTrack(-kFar, kFar, fps_, limits_.maxKeys, true);
        if (!target) return constant(fallback);
        const VecOfTime at = target->vecTrack(-kFar, kFar, fps_, limits_.maxKeys, false);
        refuseTargetOnPosition(item, *target, at, position);
        return [at, position](double t) { return at(t) - position(t); };
    }

    // A target on the position it is seen from gives no direction. Checked at
    // every key of either; between keys the two may only pass through each
    // other, as opposite direction keys do.
    void refuseTargetOnPosition(const Field& item, const Field& target, const VecOfTime& at,
                                const VecOfTime& position) const {
        std::vector<double> frames = target.keyFrames();
        if (auto p = item.find("position")) {
            const std::vector<double> more = p->keyFrames();
            frames.insert(frames.end(), more.begin(), more.end());
        }
        const bool keyed = !frames.empty();
        if (!keyed) frames.push_back(0.0);
        std::sort(frames.begin(), frames.end());
        for (double frame : frames) {
            const double t = frame / fps_;
            if (length(at(t) - position(t)) > 0.0) continue;
            const std::string when = keyed ? " at frame " + frameText(frame) : "";
            throw SceneError(target.path() + ": the same point as \"position\"" + when +
                             "; expected a point away from it");
        }
    }

    void readCamera(const std::optional<Field>& camera, Scene& scene) {
        SceneItem& item = scene.model.addCamera("Camera", {0, 0, -10}, {0, 0, 1}, {0, 1, 0}, 3.2);
        if (!camera) return;
        camera->expectObject({"name", "position", "target", "direction", "up", "zoom", "fov"});
        if (auto name = camera->find("name")) item.name = name->text();
        VecOfTime position = constant({0, 0, -10});
        if (auto p = camera->find("position")) position = p->vecTrack(-kFar, kFar, fps_, limits_.maxKeys, false);
        VecOfTime up = constant({0, 1, 0});
        if (auto u = camera->find("up")) up = u->vecTrack(-kFar, kFar, fps_, limits_.maxKeys, true);
        item.setPlacement(position, aim(*camera, position, {0, 0, 1}), up);
        auto zoom = camera->find("zoom");
        auto fov = camera->find("fov");
        if (zoom && fov) throw SceneError(camera->path() + ": give \"zoom\" or \"fov\", not both");
        if (zoom) item.zoom = zoom->scalarTrack(0.01, 1000.0, fps_, limits_.maxKeys);
        if (fov) {
            // The horizontal field of view: the zoom follows the frame's shape.
            const host::SceneInfo& r = scene.model.record;
            const double frameAspect = r.frameWidth * r.pixelAspect / r.frameHeight;
            const ScalarOfTime degrees = fov->scalarTrack(0.5, 179.0, fps_, limits_.maxKeys);
            item.zoom = [degrees, frameAspect](double t) { return frameAspect / std::tan(radians(degrees(t)) / 2.0); };
        }
    }

    void readLight(const Field& light, Scene& scene) {
        light.expectObject({"name", "type", "position", "target", "direction", "colour", "intensity", "shadows",
                            "cone", "edge"});
        const std::string type = light.at("type").oneOf({"distant", "point", "spot"});
        const int32_t kind = type == "distant" ? host::kLightDistant : type == "point" ? host::kLightPoint : host::kLightSpot;
        const bool shadows = booleanOr(light, "shadows", true);
        SceneItem& item = scene.model.addLight("Light", kind, shadows ? host::kShadowRayTraced : 0, {});
        item.name = "Light " + std::to_string(scene.model.itemsOfKind(host::kItemLight).size());
        if (auto name = light.find("name")) item.name = name->text();
        VecOfTime position = constant({});
        if (auto p = light.find("position")) position = p->vecTrack(-kFar, kFar, fps_, limits_.maxKeys, false);
        if (kind == host::kLightPoint && (light.find("target") || light.find("direction")))
            throw SceneError(light.path() + ": a point light shines every way: it takes no \"target\" or \"direction\"");
        item.setPlacement(position, aim(light, position, {0, -1, 0}));
        if (auto colour = light.find("colour")) item.colour = colour->vec(0.0, kFar);
        if (auto intensity = light.find("intensity")) item.intensity = intensity->scalarTrack(0.0, kFar, fps_, limits_.maxKeys);
        if (kind == host::kLightSpot) {
            const double cone = numberOr(light, "cone", 30.0, 0.1, 90.0);
            const double edge = numberOr(light, "edge", 5.0, 0.0, cone);
            item.coneAngle = radians(cone);
            item.edgeAngle = radians(edge);
        } else if (light.find("cone") || light.find("edge")) {
            throw SceneError(light.path() + ": only spot lights take \"cone\" and \"edge\"");
        }
    }

    Surface readSurface(const Field& field) {
        field.expectObject({"colour", "texture", "luminosity", "diffuse", "specular", "mirror", "transparency", "eta",
                            "roughness"});
        Surface s;
        if (auto colour = field.find("colour")) s.colour = colour->vec(0.0, 1.0);
        s.luminosity = numberOr(field, "luminosity", s.luminosity, 0.0, 100.0);
        s.diffuse = numberOr(field, "diffuse", s.diffuse, 0.0, 1.0);
        s.specular = numberOr(field, "specular", s.specular, 0.0, 1.0);
        s.mirror = numberOr(field, "mirror", s.mirror, 0.0, 1.0);
        s.transparency = numberOr(field, "transparency", s.transparency, 0.0, 1.0);
        s.eta = numberOr(field, "eta", s.eta, 0.1, 10.0);
        s.roughness = numberOr(field, "roughness", s.roughness, 0.0, 1.0);
        if (auto texture = field.find("texture")) {
            if (texture->json().is_string()) {
                s.texture = loadTexture(*texture);
            } else {
                texture->expectObject({"image", "repeat"});
                s.texture = loadTexture(texture->at("image"));
                if (auto repeat = texture->find("repeat")) {
                    const std::string expected = "two sizes above 0, as [across, down]";
                    const nlohmann::json& r = repeat->json();
                    if (!r.is_array() || r.size() != 2 || !r[0].is_number() || !r[1].is_number()) repeat->fail(expected);
                    s.repeatU = r[0].get<double>();
                    s.repeatV = r[1].get<double>();
                    if (!(s.repeatU > 0.0 && s.repeatU <= kFar && s.repeatV > 0.0 && s.repeatV <= kFar))
                        repeat->fail(expected);
                }
            }
        }
        return s;
    }

    void readObject(const Field& object, Scene& scene) {
        object.expectObject({"name", "type", "position", "target", "direction", "up", "radius", "size", "file",
                             "scale", "surface"});
        const std::string type = object.at("type").oneOf({"sphere", "plane", "box", "mesh"});
        SceneObject o;
        o.name = "Object " + std::to_string(scene.objects.size() + 1);
        if (auto name = object.find("name")) o.name = name->text();
        if (auto p = object.find("position")) o.position = p->vecTrack(-kFar, kFar, fps_, limits_.maxKeys, false);
        o.forward = aim(object, o.position, {0, 0, 1});
        if (auto up = object.find("up")) o.up = up->vecTrack(-kFar, kFar, fps_, limits_.maxKeys, true);
        auto refuseUnless = [&](const char* field, bool allowed, const char* types) {
            if (object.find(field) && !allowed)
                throw SceneError(object.path() + ": a " + type + " takes no \"" + field + "\" (only " + types + ")");
        };
        refuseUnless("radius", type == "sphere", "spheres");
        refuseUnless("size", type == "box", "boxes");
        refuseUnless("file", type == "mesh", "meshes");
        refuseUnless("scale", type == "mesh", "meshes");
        if (type == "sphere") {
            o.shape = SceneObject::Shape::Sphere;
            o.radius = numberOr(object, "radius", 1.0, 1e-6, kFar);
        } else if (type == "plane") {
            o.shape = SceneObject::Shape::Plane;
        } else if (type == "box") {
            o.shape = SceneObject::Shape::Box;
            if (auto size = object.find("size")) {
                o.size = size->vec(0.0, kFar);
                if (!(o.size.x > 0.0 && o.size.y > 0.0 && o.size.z > 0.0)) size->fail("three sizes above 0");
            }
        } else {
            o.shape = SceneObject::Shape::Mesh;
            o.mesh = loadMesh(object.at("file"));
            o.scale = numberOr(object, "scale", 1.0, 1e-6, kFar);
        }
        if (auto surface = object.find("surface")) {
            if (surface->json().is_string()) {
                const std::string name = surface->text();
                auto it = surfaces_.find(name);
                if (it == surfaces_.end()) surface->fail("the name of a surface in \"surfaces\"");
                o.surface = it->second;
            } else {
                o.surface = readSurface(*surface);
            }
        }
        scene.addObject(std::move(o));
    }

    // A scene file travels: it separates folders with '/' or '\\' on every
    // system. The path refhost opens and names has the system's separators.
    std::string resolve(const std::string& written) const {
        std::string path = written;
        std::replace(path.begin(), path.end(), '\\', '/');
        // A path from the root (on Windows also one with a drive) stays where it is.
        if (!path.empty() && !platform::startsAtRoot(path) && !folder_.empty())
            path = (platform::lastSeparator(folder_) == folder_.size() - 1 ? folder_ : folder_ + "/") + path;
        return platform::withSystemSeparators(path);
    }

    // "cannot read "written" (resolved: path): why", without the path twice.
    [[noreturn]] void cannotRead(const Field& field, const std::string& written, const std::string& resolved,
                                 std::string why) const {
        if (why.compare(0, resolved.size() + 2, resolved + ": ") == 0) why = why.substr(resolved.size() + 2);
        std::string message = field.path() + ": cannot read \"" + written + "\"";
        if (resolved != written) message += " (resolved: " + resolved + ")";
        throw SceneError(message + ": " + why);
    }

    std::shared_ptr<const Texture> loadTexture(const Field& field) {
        const std::string written = field.text();
        const std::string resolved = resolve(written);
        if (auto it = textures_.find(resolved); it != textures_.end()) return it->second;
        if (static_cast<int32_t>(textures_.size()) >= limits_.maxTextures)
            throw SceneError(field.path() + ": more than " + std::to_string(limits_.maxTextures) +
                             " texture files; refhost reads at most " + std::to_string(limits_.maxTextures));
        auto texture = std::make_shared<Texture>();
        texture->path = resolved;
        std::string error;
        // Refused by the size its header claims when it would pass the
        // scene's remaining texture budget.
        const ImageLimits imageLimits{
            .maxPixels = std::min(int64_t{limits_.maxTextureSide} * limits_.maxTextureSide,
                                  limits_.maxTexturePixels - texturePixels_),
            .limitName = "the scene's textures together"};
        if (!assets_.readTexture(resolved, imageLimits, texture->image, error))
            cannotRead(field, written, resolved, error);
        const Image& image = texture->image;
        if (image.width < 1 || image.height < 1) cannotRead(field, written, resolved, "the image is empty");
        if (image.width > limits_.maxTextureSide || image.height > limits_.maxTextureSide)
            cannotRead(field, written, resolved,
                       std::to_string(image.width) + " x " + std::to_string(image.height) +
                           " pixels; refhost reads textures of at most " + std::to_string(limits_.maxTextureSide) +
                           " pixels each way");
        texturePixels_ += static_cast<int64_t>(image.width) * image.height;
        if (texturePixels_ > limits_.maxTexturePixels)
            cannotRead(field, written, resolved,
                       "the scene's textures come to more than " + std::to_string(limits_.maxTexturePixels) +
                           " pixels together; refhost reads at most that");
        textures_[resolved] = texture;
        return texture;
    }

    std::shared_ptr<const Mesh> loadMesh(const Field& field) {
        const std::string written = field.text();
        const std::string resolved = resolve(written);
        if (auto it = meshes_.find(resolved); it != meshes_.end()) return it->second;
        MeshLimits limits;
        limits.maxFileBytes = limits_.maxMeshFileBytes;
        limits.maxTriangles = limits_.maxTriangles - triangles_;
        auto mesh = std::make_shared<Mesh>();
        std::string error;
        if (!assets_.readMesh(resolved, limits, *mesh, error)) {
            if (triangles_ > 0 && error.find(" triangles") != std::string::npos)
                error += " (the scene's meshes together may have at most " + std::to_string(limits_.maxTriangles) + ")";
            cannotRead(field, written, resolved, error);
        }
        triangles_ += static_cast<int64_t>(mesh->triangles.size());
        meshes_[resolved] = mesh;
        return mesh;
    }

    std::string folder_;
    const SceneOptions& options_;
    const SceneLimits& limits_;
    AssetReader& assets_;
    double fps_ = 24.0;
    std::map<std::string, Surface> surfaces_;
    std::map<std::string, std::shared_ptr<const Texture>> textures_;
    std::map<std::string, std::shared_ptr<const Mesh>> meshes_;
    int64_t triangles_ = 0;
    int64_t texturePixels_ = 0;
};

} // namespace

bool AssetReader::readMesh(const std::string& path, const MeshLimits& limits, Mesh& mesh, std::string& error) {
    return readObj(path, limits, mesh, error);
}

bool AssetReader::readTexture(const std::string& path, const ImageLimits& limits, Image& image,
                              std::string& error) {
    return readImage(path, image, error, limits);
}

bool parseScene(const std::string& text, const std::string& name, const std::string& folder,
                const SceneOptions& options, Scene& scene, std::string& error) {
    if (static_cast<int64_t>(text.size()) > options.limits.maxFileBytes) {
        error = name + ": " + std::to_string(text.size()) + " bytes; refhost reads scene files of at most " +
                std::to_string(options.limits.maxFileBytes) + " bytes";
        return false;
    }
    if (const std::size_t deep = tooDeep(text); deep != std::string::npos) {
        error = place(name, text, deep) + ": lists and objects nested more than " + std::to_string(kMaxNesting) +
                " deep";
        return false;
    }
    nlohmann::json root;
    try {
        root = nlohmann::json::parse(text);
    } catch (const nlohmann::json::parse_error& e) {
        // The byte nlohmann names is the one after the last it read.
        error = place(name, text, e.byte > 0 ? e.byte - 1 : 0) + ": " + syntaxMessage(e);
        return false;
    } catch (const nlohmann::json::exception& e) {
        // A number too large for a double, and the like: no position given.
        const std::string what = e.what();
        const std::size_t bracket = what.find("] ");
        std::string message = bracket == std::string::npos ? what : what.substr(bracket + 2);
        if (message.size() > 120) message = message.substr(0, 117) + "...";
        error = name + ": " + message;
        return false;
    }
    Scene read;
    read.source = name;
    try {
        Reader(folder, options).read(Field(root, "scene"), read);
    } catch (const SceneError& e) {
        error = name + ": " + e.what();
        return false;
    } catch (const std::bad_alloc&) {
        error = name + ": out of memory while reading the scene";
        return false;
    }
    scene = std::move(read);
    return true;
}

bool readSceneFile(const std::string& path, const SceneOptions& options, Scene& scene, std::string& error) {
    std::string text;
    if (!readBoundedFile(path, options.limits.maxFileBytes, "scene files", text, error)) return false;
    const std::size_t slash = platform::lastSeparator(path);
    const std::string folder = slash == std::string::npos ? "" : (slash == 0 ? "/" : path.substr(0, slash));
    return parseScene(text, path, folder, options, scene, error);
}

} // namespace refhost
