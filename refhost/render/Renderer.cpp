#include "refhost/render/Renderer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "refhost/render/PixelSamples.h"
#include "refhost/render/Shapes.h"

namespace refhost {

namespace {

void store(const Vec& v, double out[3]) {
    out[0] = v.x;
    out[1] = v.y;
    out[2] = v.z;
}
Vec load(const double in[3]) { return {in[0], in[1], in[2]}; }

// Rays leaving a surface start this far off it so that they do not meet it again.
constexpr double kSurfaceOffset = 1e-6;
constexpr double kNear = 1e-9;
// Mirror and transparency rays end after this many bounces.
constexpr int32_t kMaxDepth = 4;

// Blinn-Phong exponent: rough surfaces get broad highlights.
double specularExponent(double roughness) {
    const double r = std::clamp(roughness, 0.02, 1.0);
    return std::max(1.0, 2.0 / (r * r) - 2.0);
}

// The world's axes as rows (world to object), or as columns (object to world).
void storeRows(const Pose& pose, double out[9]) {
    const Vec rows[3] = {pose.right, pose.up, pose.forward};
    for (int r = 0; r < 3; ++r) store(rows[r], out + 3 * r);
}
void storeColumns(const Pose& pose, double out[9]) {
    const Vec columns[3] = {pose.right, pose.up, pose.forward};
    for (int c = 0; c < 3; ++c) {
        out[c] = columns[c].x;
        out[3 + c] = columns[c].y;
        out[6 + c] = columns[c].z;
    }
}

// The direction of a ray through a surface of relative index `eta`, entering
// when `cosine` (of the ray against the surface's normal `n` facing it) is
// positive; total internal reflection gives the mirror direction.
Vec refract(const Vec& d, const Vec& n, double eta, bool entering) {
    const double ratio = entering ? 1.0 / eta : eta;
    const double cosine = -dot(n, d);
    const double k = 1.0 - ratio * ratio * (1.0 - cosine * cosine);
    if (k < 0.0) return unit(d + n * (2.0 * cosine));
    return unit(d * ratio + n * (ratio * cosine - std::sqrt(k)));
}

} // namespace

uint8_t toByte(double value) {
    if (!(value > 0.0)) return 0;
    if (value >= 1.0) return 255;
    return static_cast<uint8_t>(value * 255.0 + 0.5);
}

Renderer::Renderer(const Scene& scene, double time) : scene_(scene), background_(scene.background) {
    const SceneModel& model = scene.model;
    width_ = model.record.frameWidth;
    height_ = model.record.frameHeight;
    halfWidth_ = width_ * 0.5;
    halfHeight_ = height_ * 0.5;
    aspect_ = model.record.pixelAspect > 0.0 ? model.record.pixelAspect : 1.0;
    const auto cameras = model.itemsOfKind(host::kItemCamera);
    if (!cameras.empty()) {
        // What the module reads as the first camera, at the same time.
        const SceneItem& camera = *cameras.front();
        eye_ = camera.param(host::kParamWorldPosition, time);
        right_ = camera.param(host::kParamRight, time);
        up_ = camera.param(host::kParamUp, time);
        forward_ = camera.param(host::kParamForward, time);
        zoom_ = camera.zoom ? camera.zoom(time) : 1.0;
    } else {
        right_ = {1, 0, 0};
        up_ = {0, 1, 0};
        forward_ = {0, 0, 1};
    }
    const bool shadows = (model.record.renderFlags & host::kRenderShadowsFlag) != 0;
    for (const SceneItem* light : model.itemsOfKind(host::kItemLight)) {
        LightSource source;
        source.kind = light->lightKind;
        source.travel = unit(light->param(host::kParamForward, time));
        source.position = light->param(host::kParamWorldPosition, time);
        source.radiance = light->colour * (light->intensity ? light->intensity(time) : 1.0);
        source.shadows = shadows && light->shadowKind == host::kShadowRayTraced;
        if (light->lightKind == host::kLightSpot) {
            source.cosOuter = std::cos(light->coneAngle);
            source.cosInner = std::cos(std::max(0.0, light->coneAngle - light->edgeAngle));
        }
        lights_.push_back(source);
    }
    ambient_ = model.ambient(time);
    objects_.reserve(scene.objects.size());
    for (const SceneObject& object : scene.objects) objects_.push_back({&object, object.poseAt(time)});
}

bool Renderer::firstHit(const Vec& origin, const Vec& direction, double maxDistance, Hit* hit) const {
    double nearest = maxDistance;
    const Posed* found = nullptr;
    Mesh::Hit meshHit, foundMeshHit;
    for (const Posed& posed : objects_) {
        const double t = intersectShape(*posed.object, posed.pose, origin, direction, kNear, nearest, meshHit);
        if (t > 0.0) {
            if (!hit) return true;  // any occluder will do
            nearest = t;
            found = &posed;
            foundMeshHit = meshHit;
        }
    }
    if (!found) return false;
    hit->object = found->object;
    hit->pose = &found->pose;
    hit->distance = nearest;
    hit->position = origin + direction * nearest;
    hit->objectPosition = found->pose.pointToLocal(hit->position);
    if (found->object->shape == SceneObject::Shape::Mesh) hit->objectPosition = hit->objectPosition * (1.0 / found->object->scale);
    const SurfacePoint surface = surfaceAt(*found->object, hit->objectPosition, foundMeshHit);
    Vec normal = found->pose.directionToWorld(surface.normal);
    Vec shadingNormal = found->pose.directionToWorld(surface.shadingNormal);
    // Face the ray: a plane seen from below, a sphere from inside.
    hit->outside = dot(normal, direction) <= 0.0;
    if (!hit->outside) {
        normal = -normal;
        shadingNormal = -shadingNormal;
    }
    hit->normal = normal;
    hit->shadingNormal = shadingNormal;
    hit->u = surface.u;
    hit->v = surface.v;
    hit->polygon = surface.polygon;
    return true;
}

Hit Renderer::trace(int32_t x, int32_t y, const Vec& origin, const Vec& direction, double spotSize) const {
    Hit hit;
    hit.pixelX = x;
    hit.pixelY = y;
    hit.origin = origin;
    hit.direction = direction;
    hit.spotSize = spotSize;
    firstHit(origin, direction, HUGE_VAL, &hit);
    return hit;
}

Hit Renderer::traceCamera(int32_t x, int32_t y, double fx, double fy) const {
    // The module's camera frame maps right and up offsets r, u at depth d to
    // pixel offsets zoom * r / d * halfHeight / aspect and zoom * u / d * halfHeight.
    const double sx = (x + fx - halfWidth_) * aspect_ / halfHeight_;
    const double sy = (halfHeight_ - (y + fy)) / halfHeight_;
    Hit hit = trace(x, y, eye_, unit(forward_ * zoom_ + right_ * sx + up_ * sy), 0.0);
    if (hit.object) {
        const double depth = dot(hit.position - eye_, forward_);
        hit.spotSize = depth / (zoom_ * halfHeight_);
    }
    return hit;
}

bool Renderer::project(const Vec& point, double& x, double& y) const {
    const Vec relative = point - eye_;
    const double depth = dot(relative, forward_);
    if (depth <= 0.0) return false;
    x = halfWidth_ + zoom_ * dot(relative, right_) / depth * halfHeight_ / aspect_;
    y = halfHeight_ - zoom_ * dot(relative, up_) / depth * halfHeight_;
    return true;
}

void Renderer::fillSample(const Hit& hit, host::SampleAccess& s) const {
    const Surface& surface = hit.object->surface;
    s.pixelX = hit.pixelX;
    s.pixelY = hit.pixelY;
    store(hit.objectPosition, s.objectPosition);
    store(hit.position, s.worldPosition);
    store(hit.normal, s.geometricNormal);
    s.spotSize = hit.spotSize;
    store(hit.origin, s.raySource);
    s.rayLength = hit.distance;
    s.hitCosine = -dot(hit.normal, hit.direction);
    storeRows(*hit.pose, s.objectTransform);
    storeColumns(*hit.pose, s.worldTransform);
    s.itemId = hit.object->id;
    s.polygonIndex = hit.polygon;
    store(hit.shadingNormal, s.shadingNormal);
    // A texel is handed over as stored, display encoded like a picked colour.
    store(surface.texture ? surface.texture->lookup(hit.u, hit.v) : surface.colour, s.colour);
    s.luminosity = surface.luminosity;
    s.diffuse = surface.diffuse;
    s.specular = surface.specular;
    s.mirror = surface.mirror;
    s.transparency = surface.transparency;
    s.eta = surface.eta;
    s.roughness = surface.roughness;
    for (void*& f : s.hostFunctions) f = nullptr;
}

Vec Renderer::shade(const Hit& hit, const host::SampleAccess& s) const {
    const Vec colour = load(s.colour);
    const Vec shadingNormal = load(s.shadingNormal);
    const Vec n = length(shadingNormal) > 0.0 ? unit(shadingNormal) : hit.normal;
    const Vec toEye = -hit.direction;
    const Vec shadowOrigin = hit.position + hit.normal * (kSurfaceOffset * (1.0 + length(hit.position)));
    const double exponent = specularExponent(s.roughness);

    Vec out = colour * s.luminosity + colour * ambient_ * s.diffuse;
    for (const LightSource& light : lights_) {
        Vec toLight;
        double reach = HUGE_VAL;
        double share = 1.0;
        if (light.kind == host::kLightDistant) {
            toLight = -light.travel;
        } else {
            const Vec offset = light.position - hit.position;
            reach = length(offset);
            toLight = unit(offset);
            if (light.kind == host::kLightSpot) {
                const double along = dot(-toLight, light.travel);
                if (along <= light.cosOuter) continue;
                if (along < light.cosInner) {
                    const double x = (along - light.cosOuter) / (light.cosInner - light.cosOuter);
                    share = x * x * (3.0 - 2.0 * x);
                }
            }
        }
        const double cosine = dot(n, toLight);
        if (cosine <= 0.0) continue;
        if (light.shadows && firstHit(shadowOrigin, toLight, reach, nullptr)) continue;
        const double highlight = std::pow(std::max(0.0, dot(n, unit(toLight + toEye))), exponent);
        out += light.radiance * share * (colour * (s.diffuse * cosine) + Vec{1, 1, 1} * (s.specular * highlight));
    }
    return out;
}

Vec Renderer::radiance(const Hit& hit, ShaderDriver* driver, host::Instance instance, int64_t& samples,
                       int32_t depth) const {
    if (!hit.object) return background_;
    host::SampleAccess record;
    fillSample(hit, record);
    if (driver) driver->evaluate(instance, record);
    ++samples;
    Vec out = shade(hit, record);
    const double mirror = std::clamp(record.mirror, 0.0, 1.0);
    const double transparency = std::clamp(record.transparency, 0.0, 1.0);
    if (depth >= kMaxDepth || (mirror == 0.0 && transparency == 0.0)) return out;

    // out = (1 - t) * ((1 - m) * local + m * reflected) + t * transmitted
    const double offset = kSurfaceOffset * (1.0 + length(hit.position));
    if (mirror > 0.0) {
        const Vec n = hit.normal;
        const Vec direction = unit(hit.direction - n * (2.0 * dot(hit.direction, n)));
        const Hit bounce = trace(hit.pixelX, hit.pixelY, hit.position + n * offset, direction, hit.spotSize);
        out = out * (1.0 - mirror) + radiance(bounce, driver, instance, samples, depth + 1) * mirror;
    }
    if (transparency > 0.0) {
        // A ray meeting a closed shape's outer side enters it. A plane is a
        // thin sheet with no inside: the ray goes straight through.
        const Vec n = hit.normal;
        const double eta = record.eta > 0.0 && std::isfinite(record.eta) ? record.eta : 1.0;
        const Vec direction = hit.object->shape == SceneObject::Shape::Plane
                                  ? hit.direction
                                  : refract(hit.direction, n, eta, hit.outside);
        const Vec start = hit.position + (dot(direction, n) < 0.0 ? -n : n) * offset;
        const Hit behind = trace(hit.pixelX, hit.pixelY, start, direction, hit.spotSize);
        out = out * (1.0 - transparency) + radiance(behind, driver, instance, samples, depth + 1) * transparency;
    }
    return out;
}

void Renderer::shadeRow(int32_t y, int32_t samples, host::Instance instance, ShaderDriver* driver, Image& out,
                        int64_t& count) const {
    const double weight = 1.0 / samples;
    for (int32_t x = 0; x < width_; ++x) {
        Vec sum;
        for (int32_t k = 0; k < samples; ++k) {
            const PixelOffset offset = pixelSample(x, y, k, samples);
            sum += radiance(traceCamera(x, y, offset.x, offset.y), driver, instance, count);
        }
        const Vec colour = samples == 1 ? sum : sum * weight;
        uint8_t* p = out.pixel(x, y);
        p[0] = toByte(colour.x);
        p[1] = toByte(colour.y);
        p[2] = toByte(colour.z);
        p[3] = 255;
    }
}

ImageStats Renderer::renderImage(const ShaderInstances& shader, const ImageSettings& settings, Image& out,
                                 ProgressBar* progress) const {
    out = Image(width_, height_, false);
    int32_t threads = std::max(settings.threads, 1);
    if (shader.driver) threads = std::min(threads, static_cast<int32_t>(shader.instances.size()));
    const int32_t samplesPerPixel = std::max(settings.samples, 1);

    std::atomic<int32_t> nextRow{0}, rowsDone{0};
    std::atomic<int64_t> samples{0};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable changed;
    int running = 0;                   // guarded by mutex
    std::optional<ModuleFault> fault;  // the first crash of any thread, guarded by mutex
    std::string entryFault;            // the first entry fault of any thread, guarded by mutex

    // Each thread takes whole rows and shades them with its own instance. An
    // entry fault stops them all.
    auto work = [&](int32_t index) {
        const host::Instance instance = shader.driver ? shader.instances[static_cast<std::size_t>(index)] : nullptr;
        int64_t count = 0;
        std::string faulted;
        std::optional<ModuleFault> crashed = catchModuleFault([&] {
            try {
                while (!stop.load(std::memory_order_relaxed)) {
                    const int32_t y = nextRow.fetch_add(1);
                    if (y >= height_) break;
                    shadeRow(y, samplesPerPixel, instance, shader.driver, out, count);
                    rowsDone.fetch_add(1);
                }
            } catch (const EntryFault& thrown) {
                faulted = thrown.what();
                stop = true;
            }
        });
        samples.fetch_add(count);
        std::lock_guard<std::mutex> lock(mutex);
        if (entryFault.empty()) entryFault = faulted;
        if (crashed) {
            stop = true;
            if (!fault) fault = std::move(crashed);
        }
        --running;
        changed.notify_one();
    };

    std::vector<std::thread> pool;
    for (int32_t i = 0; i < threads; ++i) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++running;
        }
        try {
            pool.emplace_back(work, i);
        } catch (...) {
            stop = true;
            for (std::thread& t : pool) t.join();
            throw;
        }
    }

    // The calling thread draws progress and watches for Ctrl-C.
    int32_t shown = 0;
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (running > 0) {
            changed.wait_for(lock, std::chrono::milliseconds(20));
            if (settings.stopOnInterrupt && interruptRequested()) stop = true;
            const int32_t done = rowsDone.load();
            if (progress && done > shown) progress->advance(done - shown);
            shown = done;
        }
    }
    for (std::thread& t : pool) t.join();
    if (!entryFault.empty()) throw EntryFault(entryFault);
    if (progress && rowsDone.load() > shown) progress->advance(rowsDone.load() - shown);

    ImageStats stats;
    stats.samples = samples.load();
    stats.stopped = stop.load() || rowsDone.load() < height_;
    stats.fault = std::move(fault);
    return stats;
}

} // namespace refhost
