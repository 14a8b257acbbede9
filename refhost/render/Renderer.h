// A small CPU ray tracer: the host side of shading. Camera rays meet spheres
// and planes; every hit is handed to a shader server as a SampleAccess record,
// lit with the colour and levels the shader wrote back, quantised to 8 bits
// and handed to an image filter server. Camera, lights and ambient are read
// from the same SceneModel that the emulated host services report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/SampleAccess.h"
#include "refhost/host/Drivers.h"
#include "refhost/host/Host.h"
#include "refhost/host/Module.h"
#include "refhost/host/SceneModel.h"
#include "refhost/image/Image.h"
#include "refhost/image/Progress.h"

namespace refhost {

// The surface values a host hands to a shader, before the shader changes them.
struct Surface {
    Vec colour{0.5, 0.5, 0.5};  // gamma-encoded, as a user picks it
    double luminosity = 0.0;
    double diffuse = 0.8;
    double specular = 0.0;
    double mirror = 0.0;
    double transparency = 0.0;
    double eta = 1.0;
    double roughness = 0.5;     // 0 mirror-sharp highlight .. 1 broad
};

struct SceneObject {
    enum class Shape { Sphere, Plane };
    Shape shape = Shape::Sphere;
    host::ItemId id = 0;
    std::string name;
    Vec centre;             // sphere centre, or the plane's origin
    double radius = 1.0;    // spheres
    Vec normal{0, 1, 0};    // planes, unit length
    Surface surface;
};

// What the renderer draws beyond the items the host services describe.
struct Geometry {
    std::vector<SceneObject> objects;
    Vec background;  // linear colour of rays that meet nothing
    const SceneObject* find(const std::string& name) const;
};

// A camera ray and the first surface it met.
struct Hit {
    int32_t pixelX = 0, pixelY = 0;
    Vec origin, direction;               // the ray; direction is unit length
    const SceneObject* object = nullptr; // null: the ray met nothing
    double distance = 0.0;
    Vec position, normal, objectPosition;
    double spotSize = 0.0;               // world size of one pixel at the hit
};

// Running shader instances, one per thread: an instance is never evaluated on
// two threads at once, since the module takes no locks.
struct ShaderInstances {
    ShaderDriver* driver = nullptr;  // null: surfaces keep their colours
    std::vector<host::Instance> instances;
};

struct ImageStats {
    int64_t samples = 0;   // evaluate calls (or, without a shader, shaded hits)
    bool stopped = false;  // Ctrl-C (or the caller's stop flag) ended the render
};

class Renderer {
public:
    // Reads the first camera, the lights and the ambient colour at `time`.
    // `model` and `geometry` must outlive the renderer.
    Renderer(const SceneModel& model, const Geometry& geometry, double time);

    int32_t width() const { return width_; }
    int32_t height() const { return height_; }

    Hit traceCamera(int32_t x, int32_t y) const;
    // The record a shader's evaluate entry receives for `hit`.
    void fillSample(const Hit& hit, host::SampleAccess& sample) const;
    // Linear light leaving the point toward the camera, from the colour and
    // levels in `sample`: luminosity, ambient, Lambert diffuse and Blinn-Phong
    // specular per light, with hard shadows from lights that cast them.
    Vec shade(const Hit& hit, const host::SampleAccess& sample) const;
    const Vec& background() const { return geometry_.background; }
    // Pixel coordinates of a world point (pixel centres at .5); false behind the camera.
    bool project(const Vec& point, double& x, double& y) const;

    // Renders every pixel into an 8-bit image (opaque, no alpha plane).
    // shader.instances must hold `threads` instances when a driver is given.
    // Rows are shaded independently, so the image does not depend on `threads`.
    // `progress` is advanced by rows done, from the calling thread.
    ImageStats renderImage(const ShaderInstances& shader, int32_t threads, bool stopOnInterrupt, Image& out,
                           ProgressBar* progress = nullptr) const;

private:
    struct LightSource {
        bool distant = true;
        Vec travel;     // distant lights: the direction the light travels
        Vec position;   // other lights
        Vec radiance;   // colour times intensity
        bool shadows = false;
    };

    bool firstHit(const Vec& origin, const Vec& direction, double maxDistance, Hit* hit) const;
    void shadeRow(int32_t y, host::Instance instance, ShaderDriver* driver, Image& out, int64_t& samples) const;

    const Geometry& geometry_;
    int32_t width_ = 0, height_ = 0;
    double halfWidth_ = 0, halfHeight_ = 0, aspect_ = 1, zoom_ = 1;
    Vec eye_, right_, up_, forward_;
    std::vector<LightSource> lights_;
    Vec ambient_;
};

// 0..1 to a byte, rounded; below 0 and NaN give 0, above 1 gives 255.
uint8_t toByte(double value);

// One frame as a host renders it: the shader row bound and one instance per
// thread made (copy entry from the first), newTime on every instance, the
// pixels shaded, the frame quantised and handed to the filter row's process
// entry. The host's call log is paused while samples are shaded.
struct FrameRequest {
    const ServerRow* shader = nullptr;  // null: no shader server
    const ServerRow* filter = nullptr;  // null: no filter server
    int32_t threads = 1;
    int32_t frame = 0;
    double time = 0.0;
    bool progress = false;         // progress bars on stderr when it is a terminal
    bool stopOnInterrupt = false;  // Ctrl-C ends shading or filtering
};

struct FrameResult {
    Image image;
    int64_t samples = 0;
    bool stopped = false;
    std::string error;  // non-empty: the frame failed and `image` is not valid
};

FrameResult renderFrame(Host& host, const Geometry& geometry, const FrameRequest& request);

} // namespace refhost
