// Frames as a host renders them. A session binds the shader row and makes one
// instance per thread (each taking the first one's settings through the copy
// entry) and one filter instance; each frame then calls newTime on every
// shader instance, shades the pixels, and hands the quantised frame to the
// filter's process entry with the frame's time. The host's call log is paused
// while samples are shaded. The render's memory ends with the session. An
// entry that returns with the stack pointer moved ends the session's work:
// its fault, naming the server, is the error of the session or the frame.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "refhost/host/Drivers.h"
#include "refhost/host/Host.h"
#include "refhost/host/Module.h"
#include "refhost/image/Image.h"
#include "refhost/image/Progress.h"
#include "refhost/render/Renderer.h"
#include "refhost/render/Scene.h"

namespace refhost {

struct FrameRequest {
    const ServerRow* shader = nullptr;  // null: no shader server
    const ServerRow* filter = nullptr;  // null: no filter server
    int32_t threads = 1;
    int32_t samples = 1;           // camera samples per pixel
    bool stopOnInterrupt = false;  // Ctrl-C ends shading or filtering
    // renderFrame only: the frame and its time.
    int32_t frame = 0;
    double time = 0.0;
};

struct FrameResult {
    Image image;
    int64_t samples = 0;
    bool stopped = false;
    std::string error;  // non-empty: the frame failed and `image` is not valid
    std::optional<ModuleFault> fault;  // the module crashed on a shading thread: no module call is safe now
};

class FrameSession {
public:
    // `host` must serve `scene.model`; both must outlive the session.
    FrameSession(Host& host, const Scene& scene, const FrameRequest& request);
    FrameSession(const FrameSession&) = delete;
    FrameSession& operator=(const FrameSession&) = delete;
    ~FrameSession();

    // Non-empty when the servers could not be bound; no frame renders then.
    const std::string& error() const { return error_; }

    // `progress`, when given, is advanced by the rows shaded.
    FrameResult render(int32_t frame, double time, ProgressBar* progress = nullptr);

private:
    // The constructor's and render's entry calls; `serving` follows the
    // server whose entries are being called, for the fault it may throw.
    void bindServers(const ServerRow*& serving);
    void renderWith(int32_t frame, double time, ProgressBar* progress, FrameResult& result, const ServerRow*& serving);

    Host& host_;
    const Scene& scene_;
    FrameRequest request_;
    std::string error_;
    std::optional<ShaderDriver> shader_;
    std::vector<host::Instance> shaders_;
    std::optional<FilterDriver> filter_;
    host::Instance filterInstance_ = nullptr;
};

// One frame alone: a session for request.frame at request.time.
FrameResult renderFrame(Host& host, const Scene& scene, const FrameRequest& request);

} // namespace refhost
