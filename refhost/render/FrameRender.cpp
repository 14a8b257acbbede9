#include "refhost/render/FrameRender.h"

#include "refhost/host/CallLog.h"
#include "refhost/image/ImageJob.h"

namespace refhost {

namespace {

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// A fault of an entry of `server`, for a frame's error.
std::string faultText(const ServerRow* server, const EntryFault& fault) {
    return quoted(server->serverName) + ": " + fault.what();
}

} // namespace

FrameSession::FrameSession(Host& host, const Scene& scene, const FrameRequest& request)
    : host_(host), scene_(scene), request_(request) {
    request_.threads = std::max(request_.threads, 1);
    const ServerRow* serving = request_.shader;  // the server whose entries are called
    try {
        bindServers(serving);
    } catch (const EntryFault& fault) {
        error_ = faultText(serving, fault);
    }
}

void FrameSession::bindServers(const ServerRow*& serving) {
    if (request_.shader) {
        shader_.emplace(*request_.shader);
        error_ = shader_->bindForUse();
        if (!error_.empty()) return;
        for (int32_t i = 0; i < request_.threads; ++i) {
            const host::Instance instance = shader_->create();
            if (!instance) {
                error_ = quoted(request_.shader->serverName) + " created no instance";
                return;
            }
            shaders_.push_back(instance);
            if (i > 0) shader_->copy(shaders_.front(), instance);
        }
    }
    if (request_.filter) {
        serving = request_.filter;
        filter_.emplace(*request_.filter);
        error_ = filter_->bindForUse();
        if (!error_.empty()) return;
        filterInstance_ = filter_->create();
        if (!filterInstance_) error_ = quoted(request_.filter->serverName) + " created no instance";
    }
}

FrameSession::~FrameSession() {
    const ServerRow* serving = request_.shader;
    try {
        for (host::Instance instance : shaders_) shader_->destroy(instance);
        serving = request_.filter;
        if (filterInstance_) filter_->destroy(filterInstance_);
    } catch (const EntryFault& fault) {
        noteLateFault(faultText(serving, fault));
    }
    host_.endRender();
}

FrameResult FrameSession::render(int32_t frame, double time, ProgressBar* progress) {
    FrameResult result;
    if (!error_.empty()) {
        result.error = error_;
        return result;
    }
    const ServerRow* serving = request_.shader;
    try {
        renderWith(frame, time, progress, result, serving);
    } catch (const EntryFault& fault) {
        result.error = faultText(serving, fault);
    }
    return result;
}

void FrameSession::renderWith(int32_t frame, double time, ProgressBar* progress, FrameResult& result,
                              const ServerRow*& serving) {
    for (host::Instance instance : shaders_) {
        host_.log.record("shader.newTime", {formatArg(frame), formatArg(time)});
        if (const host::ErrorText message = shader_->newTime(instance, frame, time)) {
            std::string text;
            if (!readText(message, 1024, text)) text = "(unreadable message)";
            result.error = quoted(request_.shader->serverName) + " could not step to frame " + std::to_string(frame) +
                           ": " + text;
            return;
        }
    }

    ImageStats stats;
    {
        const bool logging = host_.log.enabled;
        host_.log.enabled = false;  // the log is mutex-protected: too slow for every sample
        const Renderer renderer(scene_, time);
        ShaderInstances shading{shader_ ? &*shader_ : nullptr, shaders_};
        ImageSettings settings;
        settings.threads = request_.threads;
        settings.samples = request_.samples;
        settings.stopOnInterrupt = request_.stopOnInterrupt;
        stats = renderer.renderImage(shading, settings, result.image, progress);
        host_.log.enabled = logging;
    }
    result.samples = stats.samples;
    if (stats.fault) {
        result.fault = std::move(stats.fault);
        return;
    }
    if (stats.stopped) {
        result.stopped = true;
        return;
    }

    if (filterInstance_) {
        serving = request_.filter;
        host_.log.record("filter.process", {formatArg(time)});
        ImageJob job(result.image, time);
        job.stopOnInterrupt = request_.stopOnInterrupt;
        filter_->process(filterInstance_, job.access());
        if (job.stopped || (request_.stopOnInterrupt && interruptRequested())) {
            result.stopped = true;
            return;
        }
        result.image = std::move(job.output);
    }
}

FrameResult renderFrame(Host& host, const Scene& scene, const FrameRequest& request) {
    FrameSession session(host, scene, request);
    return session.render(request.frame, request.time);
}

} // namespace refhost
