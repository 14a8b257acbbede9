// A small CPU ray tracer: the host side of shading. Camera rays meet the
// scene's spheres, planes, boxes and meshes, placed where they are at the
// frame's time; every hit is handed to a shader server as a SampleAccess
// record, lit with the colour and levels the shader wrote back (mirror and
// transparent surfaces send further rays, whose hits are shaded the same way),
// averaged over the pixel's samples in linear light and quantised to 8 bits.
// Camera, lights and ambient are read from the same SceneModel that the
// emulated host services report, at the same time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/SampleAccess.h"
#include "refhost/host/Drivers.h"
#include "refhost/host/Host.h"
#include "refhost/host/Module.h"
#include "refhost/host/ModuleFault.h"
#include "refhost/image/Image.h"
#include "refhost/image/Progress.h"
#include "refhost/render/Scene.h"

namespace refhost {

// A ray and the first surface it met.
struct Hit {
    int32_t pixelX = 0, pixelY = 0;
    Vec origin, direction;               // the ray; direction is unit length
    const SceneObject* object = nullptr; // null: the ray met nothing
    const Pose* pose = nullptr;          // the object's pose at the render's time
    double distance = 0.0;
    Vec position;                        // world coordinates
    Vec normal;                          // geometric normal, facing the ray
    bool outside = true;                 // the ray met the shape's outer side (planes: their +y side)
    Vec shadingNormal;                   // the normal lighting starts from (meshes: vertex normals)
    Vec objectPosition;                  // the object's own coordinates
    double u = 0.0, v = 0.0;             // texture coordinates
    int32_t polygon = 0;                 // meshes: the triangle's index
    double spotSize = 0.0;               // world size of one pixel at the hit
};

// Running shader instances, one per thread: an instance is never evaluated on
// two threads at once, since the module takes no locks.
struct ShaderInstances {
    ShaderDriver* driver = nullptr;  // null: surfaces keep their colours
    std::vector<host::Instance> instances;
};

struct ImageSettings {
    int32_t threads = 1;
    int32_t samples = 1;           // camera samples per pixel
    bool stopOnInterrupt = false;  // Ctrl-C ends the render
};

struct ImageStats {
    int64_t samples = 0;   // evaluate calls (or, without a shader, shaded hits)
    bool stopped = false;  // Ctrl-C ended the render
    std::optional<ModuleFault> fault;  // the first crash on a shading thread, which ended the render
};

class Renderer {
public:
    // Reads the first camera, the lights, the ambient colour and every
    // object's pose at `time`. `scene` must outlive the renderer.
    Renderer(const Scene& scene, double time);

    int32_t width() const { return width_; }
    int32_t height() const { return height_; }

    // The camera ray through the centre of pixel (x, y), or through the point
    // (x + fx, y + fy) of the image, and what it meets.
    Hit traceCamera(int32_t x, int32_t y) const { return traceCamera(x, y, 0.5, 0.5); }
    Hit traceCamera(int32_t x, int32_t y, double fx, double fy) const;
    // The record a shader's evaluate entry receives for `hit`.
    void fillSample(const Hit& hit, host::SampleAccess& sample) const;
    // Linear light leaving the point toward the ray's origin from the colour
    // and levels in `sample`: luminosity, ambient, Lambert diffuse and
    // Blinn-Phong specular per light, with hard shadows from lights that cast
    // them. Mirror and transparency are left to `radiance`.
    Vec shade(const Hit& hit, const host::SampleAccess& sample) const;
    // All the light along the ray of `hit`: the point shaded through the
    // shader (when one is given), then the mirror and transparency rays.
    Vec radiance(const Hit& hit, ShaderDriver* driver, host::Instance instance, int64_t& samples,
                 int32_t depth = 0) const;
    const Vec& background() const { return background_; }
    // Pixel coordinates of a world point (pixel centres at .5); false behind the camera.
    bool project(const Vec& point, double& x, double& y) const;

    // Renders every pixel into an 8-bit image (opaque, no alpha plane).
    // shader.instances must hold `settings.threads` instances when a driver is
    // given. Pixels are shaded independently, so the image does not depend on
    // the thread count. `progress`, when given, is advanced by rows done from
    // the calling thread; its begin and finish are the caller's. An entry
    // fault in any thread stops them all and is thrown from here.
    ImageStats renderImage(const ShaderInstances& shader, const ImageSettings& settings, Image& out,
                           ProgressBar* progress = nullptr) const;

private:
    struct LightSource {
        int32_t kind = host::kLightDistant;
        Vec travel;     // distant and spot lights: the direction the light travels
        Vec position;   // point and spot lights
        Vec radiance;   // colour times intensity
        bool shadows = false;
        double cosOuter = -1.0, cosInner = -1.0;  // spot lights: the cone and the start of its soft edge
    };
    struct Posed {
        const SceneObject* object;
        Pose pose;
    };

    bool firstHit(const Vec& origin, const Vec& direction, double maxDistance, Hit* hit) const;
    Hit trace(int32_t x, int32_t y, const Vec& origin, const Vec& direction, double spotSize) const;
    void shadeRow(int32_t y, int32_t samples, host::Instance instance, ShaderDriver* driver, Image& out,
                  int64_t& count) const;

    const Scene& scene_;
    int32_t width_ = 0, height_ = 0;
    double halfWidth_ = 0, halfHeight_ = 0, aspect_ = 1, zoom_ = 1;
    Vec eye_, right_, up_, forward_;
    std::vector<LightSource> lights_;
    std::vector<Posed> objects_;
    Vec ambient_;
    Vec background_;
};

// 0..1 to a byte, rounded; below 0 and NaN give 0, above 1 gives 255.
uint8_t toByte(double value);

} // namespace refhost
