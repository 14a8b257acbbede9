#include "refhost/render/Renderer.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include "refhost/image/ImageJob.h"

namespace refhost {

namespace {

Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec operator-(Vec a) { return {-a.x, -a.y, -a.z}; }
Vec operator*(Vec a, double s) { return {a.x * s, a.y * s, a.z * s}; }
Vec operator*(Vec a, Vec b) { return {a.x * b.x, a.y * b.y, a.z * b.z}; }
Vec& operator+=(Vec& a, Vec b) { return a = a + b; }
double dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
double length(Vec a) { return std::sqrt(dot(a, a)); }
Vec unit(Vec a) {
    const double l = length(a);
    return l > 0.0 ? a * (1.0 / l) : Vec{0, 1, 0};
}

void store(const Vec& v, double out[3]) {
    out[0] = v.x;
    out[1] = v.y;
    out[2] = v.z;
}
Vec load(const double in[3]) { return {in[0], in[1], in[2]}; }

// Shadow rays start this far off the surface so that they do not meet it again.
constexpr double kSurfaceOffset = 1e-6;
constexpr double kNear = 1e-9;
constexpr double kIdentity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};

// Distance along the ray to the object, or a negative value when it is missed.
double intersect(const SceneObject& object, const Vec& origin, const Vec& direction) {
    if (object.shape == SceneObject::Shape::Plane) {
        const double facing = dot(direction, object.normal);
        if (std::abs(facing) < 1e-12) return -1.0;
        return dot(object.centre - origin, object.normal) / facing;
    }
    const Vec oc = origin - object.centre;
    const double b = dot(oc, direction);
    const double c = dot(oc, oc) - object.radius * object.radius;
    const double discriminant = b * b - c;
    if (discriminant < 0.0) return -1.0;
    const double root = std::sqrt(discriminant);
    const double nearT = -b - root;
    return nearT > kNear ? nearT : -b + root;
}

// Blinn-Phong exponent: rough surfaces get broad highlights.
double specularExponent(double roughness) {
    const double r = std::clamp(roughness, 0.02, 1.0);
    return std::max(1.0, 2.0 / (r * r) - 2.0);
}

} // namespace

const SceneObject* Geometry::find(const std::string& name) const {
    for (const SceneObject& object : objects)
        if (object.name == name) return &object;
    return nullptr;
}

uint8_t toByte(double value) {
    if (!(value > 0.0)) return 0;
    if (value >= 1.0) return 255;
    return static_cast<uint8_t>(value * 255.0 + 0.5);
}

Renderer::Renderer(const SceneModel& model, const Geometry& geometry, double time) : geometry_(geometry) {
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
        source.distant = light->lightKind == host::kLightDistant;
        source.travel = unit(light->param(host::kParamForward, time));
        source.position = light->param(host::kParamWorldPosition, time);
        source.radiance = light->colour * light->intensity;
        source.shadows = shadows && light->shadowKind == host::kShadowRayTraced;
        lights_.push_back(source);
    }
    ambient_ = model.ambient(time);
}

bool Renderer::firstHit(const Vec& origin, const Vec& direction, double maxDistance, Hit* hit) const {
    double nearest = maxDistance;
    const SceneObject* found = nullptr;
    for (const SceneObject& object : geometry_.objects) {
        const double t = intersect(object, origin, direction);
        if (t > kNear && t < nearest) {
            if (!hit) return true;  // any occluder will do
            nearest = t;
            found = &object;
        }
    }
    if (!found) return false;
    hit->object = found;
    hit->distance = nearest;
    hit->position = origin + direction * nearest;
    hit->objectPosition = hit->position - found->centre;
    Vec normal = found->shape == SceneObject::Shape::Plane ? found->normal
                                                            : (hit->position - found->centre) * (1.0 / found->radius);
    // Face the ray: a plane seen from below, a sphere from inside.
    if (dot(normal, direction) > 0.0) normal = -normal;
    hit->normal = normal;
    return true;
}

Hit Renderer::traceCamera(int32_t x, int32_t y) const {
    Hit hit;
    hit.pixelX = x;
    hit.pixelY = y;
    // The module's camera frame maps right and up offsets r, u at depth d to
    // pixel offsets zoom * r / d * halfHeight / aspect and zoom * u / d * halfHeight.
    const double sx = (x + 0.5 - halfWidth_) * aspect_ / halfHeight_;
    const double sy = (halfHeight_ - (y + 0.5)) / halfHeight_;
    hit.origin = eye_;
    hit.direction = unit(forward_ * zoom_ + right_ * sx + up_ * sy);
    if (firstHit(hit.origin, hit.direction, HUGE_VAL, &hit)) {
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
    // Objects are placed without rotation or scale.
    std::memcpy(s.objectTransform, kIdentity, sizeof kIdentity);
    std::memcpy(s.worldTransform, kIdentity, sizeof kIdentity);
    s.itemId = hit.object->id;
    s.polygonIndex = 0;
    store(hit.normal, s.shadingNormal);
    store(surface.colour, s.colour);
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
        if (light.distant) {
            toLight = -light.travel;
        } else {
            const Vec offset = light.position - hit.position;
            reach = length(offset);
            toLight = unit(offset);
        }
        const double cosine = dot(n, toLight);
        if (cosine <= 0.0) continue;
        if (light.shadows && firstHit(shadowOrigin, toLight, reach, nullptr)) continue;
        const double highlight = std::pow(std::max(0.0, dot(n, unit(toLight + toEye))), exponent);
        out += light.radiance * (colour * (s.diffuse * cosine) + Vec{1, 1, 1} * (s.specular * highlight));
    }
    return out;
}

void Renderer::shadeRow(int32_t y, host::Instance instance, ShaderDriver* driver, Image& out,
                        int64_t& samples) const {
    host::SampleAccess record;
    for (int32_t x = 0; x < width_; ++x) {
        const Hit hit = traceCamera(x, y);
        Vec colour = geometry_.background;
        if (hit.object) {
            fillSample(hit, record);
            if (driver) driver->evaluate(instance, record);
            colour = shade(hit, record);
            ++samples;
        }
        uint8_t* p = out.pixel(x, y);
        p[0] = toByte(colour.x);
        p[1] = toByte(colour.y);
        p[2] = toByte(colour.z);
        p[3] = 255;
    }
}

ImageStats Renderer::renderImage(const ShaderInstances& shader, int32_t threads, bool stopOnInterrupt, Image& out,
                                 ProgressBar* progress) const {
    out = Image(width_, height_, false);
    threads = std::max(threads, 1);
    if (shader.driver) threads = std::min(threads, static_cast<int32_t>(shader.instances.size()));

    std::atomic<int32_t> nextRow{0}, rowsDone{0};
    std::atomic<int64_t> samples{0};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable changed;
    int running = 0;  // guarded by mutex

    // Each thread takes whole rows and shades them with its own instance.
    auto work = [&](int32_t index) {
        const host::Instance instance = shader.driver ? shader.instances[static_cast<std::size_t>(index)] : nullptr;
        int64_t count = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            const int32_t y = nextRow.fetch_add(1);
            if (y >= height_) break;
            shadeRow(y, instance, shader.driver, out, count);
            rowsDone.fetch_add(1);
        }
        samples.fetch_add(count);
        std::lock_guard<std::mutex> lock(mutex);
        --running;
        changed.notify_one();
    };

    if (progress) progress->begin(height_);
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
            if (stopOnInterrupt && interruptRequested()) stop = true;
            const int32_t done = rowsDone.load();
            if (progress && done > shown) progress->advance(done - shown);
            shown = done;
        }
    }
    for (std::thread& t : pool) t.join();

    ImageStats stats;
    stats.samples = samples.load();
    stats.stopped = stop.load() || rowsDone.load() < height_;
    if (progress && !stats.stopped) progress->finish();
    return stats;
}

namespace {

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// Destroys the instances a frame made, however the frame ends.
template <class Driver>
struct Instances {
    Driver* driver = nullptr;
    std::vector<host::Instance> list;
    ~Instances() { release(); }
    void release() {
        for (host::Instance instance : list) driver->destroy(instance);
        list.clear();
    }
};

bool stderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

} // namespace

FrameResult renderFrame(Host& host, const Geometry& geometry, const FrameRequest& request) {
    FrameResult result;
    const int32_t threads = std::max(request.threads, 1);
    const Renderer renderer(host.scene, geometry, request.time);

    std::optional<ShaderDriver> shaderDriver;
    Instances<ShaderDriver> shaders;
    if (request.shader) {
        const std::string name = quoted(request.shader->serverName);
        shaderDriver.emplace(*request.shader);
        shaders.driver = &*shaderDriver;
        if (const int32_t refused = shaderDriver->activate(2); refused != 0) {
            result.error = name + " refused activation with interface version 2 (result " + std::to_string(refused) + ")";
            return result;
        }
        // One instance per thread, each taking the first one's settings.
        for (int32_t i = 0; i < threads; ++i) {
            const host::Instance instance = shaderDriver->create();
            if (!instance) {
                result.error = name + " created no instance";
                return result;
            }
            shaders.list.push_back(instance);
            if (i > 0) shaderDriver->copy(shaders.list.front(), instance);
        }
        for (host::Instance instance : shaders.list) {
            if (const host::ErrorText message = shaderDriver->newTime(instance, request.frame, request.time)) {
                std::string text;
                if (!readText(message, 1024, text)) text = "(unreadable message)";
                result.error = name + " could not step to frame " + std::to_string(request.frame) + ": " + text;
                return result;
            }
        }
    }

    ImageStats stats;
    {
        const bool logging = host.log.enabled;
        host.log.enabled = false;  // the log is mutex-protected: too slow for every sample
        const std::string label = request.shader ? "render " + request.shader->serverName : "render";
        ProgressBar bar(label, request.progress && stderrIsTerminal());
        ShaderInstances shading{shaderDriver ? &*shaderDriver : nullptr, shaders.list};
        stats = renderer.renderImage(shading, threads, request.stopOnInterrupt, result.image, &bar);
        host.log.enabled = logging;
    }
    shaders.release();
    result.samples = stats.samples;
    if (stats.stopped) {
        result.stopped = true;
        return result;
    }

    if (request.filter) {
        const std::string name = quoted(request.filter->serverName);
        FilterDriver filterDriver(*request.filter);
        if (const int32_t refused = filterDriver.activate(2); refused != 0) {
            result.error = name + " refused activation with interface version 2 (result " + std::to_string(refused) + ")";
            return result;
        }
        Instances<FilterDriver> filters{&filterDriver, {filterDriver.create()}};
        if (!filters.list.front()) {
            filters.list.clear();
            result.error = name + " created no instance";
            return result;
        }
        ProgressBar bar("filter " + request.filter->serverName, request.progress && stderrIsTerminal());
        ImageJob job(result.image, request.time);
        job.progress = &bar;
        job.stopOnInterrupt = request.stopOnInterrupt;
        filterDriver.process(filters.list.front(), job.access());
        filters.release();
        if (job.stopped || (request.stopOnInterrupt && interruptRequested())) {
            result.stopped = true;
            return result;
        }
        result.image = std::move(job.output);
    }
    host.endRender();
    return result;
}

} // namespace refhost
