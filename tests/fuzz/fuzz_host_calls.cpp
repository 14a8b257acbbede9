// Random sequences of host calls on both servers: activations with any
// version, instances created, copied, described, stepped, evaluated and
// destroyed in any order, services coming and going. Nothing may crash or
// leak, and descriptions stay within their 64 bytes.
#include <cstring>
#include <string>
#include <vector>

#include "host/HandlerTables.h"
#include "refhost/host/Host.h"
#include "refhost/image/ImageJob.h"
#include "servers/DisplayEncodeFilter.h"
#include "servers/LinearizeShader.h"
#include "shader/ShadingSample.h"
#include "tests/fuzz/FuzzInput.h"

using fuzzing::FuzzInput;

namespace {

struct Live {
    host::Instance instance;
    bool shader;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    // A host's service records live as long as the process; the module keeps
    // pointers to them across a failed init. One host serves every input.
    static refhost::Host& host = *[] {
        refhost::SceneModel scene = refhost::SceneModel::basic(4, 3);
        scene.addCamera("camera", {0, 0, -5}, {0, 0, 1}, {0, 1, 0}, 2.0);
        scene.addLight("key", host::kLightDistant, host::kShadowRayTraced, {0, 5, 0}, {0, -1, 0});
        auto* h = new refhost::Host(std::move(scene));
        h->log.enabled = false;
        return h;
    }();
    const auto& services = refhost::Host::requiredServiceNames();
    for (const std::string& name : services) host.provide(name);
    host.endRender();

    host::ShaderHandler shader{};
    host::ImageFilterHandler filter{};
    bool shaderBound = false, filterBound = false;
    std::vector<Live> live;
    refhost::Image image(2, 2, true);
    host::SampleAccess record;
    velorastin::fillDefaultRecord(record);

    for (int step = 0; step < 64 && in.remaining() > 0; ++step) {
        const uint8_t op = in.byte() % 14;
        Live* target = live.empty() ? nullptr : &live[in.byte() % live.size()];
        switch (op) {
        case 0:
            shaderBound |= velorastin::shaderActivationOf<velorastin::LinearizeShader>(
                               in.byte() % 4, refhost::Host::lookupFunction(), &shader, nullptr) == 0;
            break;
        case 1:
            filterBound |= velorastin::filterActivationOf<velorastin::DisplayEncodeFilter>(
                               in.byte() % 4, refhost::Host::lookupFunction(), &filter, nullptr) == 0;
            break;
        case 2:
            if (shaderBound && live.size() < 16)
                if (host::Instance i = shader.create(nullptr)) live.push_back({i, true});
            break;
        case 3:
            if (filterBound && live.size() < 16)
                if (host::Instance i = filter.create(nullptr)) live.push_back({i, false});
            break;
        case 4:
            if (target) {
                (target->shader ? shader.destroy : filter.destroy)(target->instance);
                live.erase(live.begin() + (target - live.data()));
            }
            break;
        case 5:
            if (target) {
                const Live& other = live[in.byte() % live.size()];
                (target->shader ? shader.copy : filter.copy)(other.instance, target->instance);
            }
            break;
        case 6:
            if (target && (target->shader ? shader.describe : filter.describe)) {
                const char* text = (target->shader ? shader.describe : filter.describe)(target->instance);
                if (!text || strnlen(text, 64) >= 64) fuzzing::fail("describe text is not within 64 bytes");
            }
            break;
        case 7:
            if (target && target->shader) shader.newTime(target->instance, static_cast<int32_t>(in.word()), in.number());
            break;
        case 8:
            if (target && target->shader) {
                in.take(&record.colour, sizeof record.colour);
                record.itemId = in.word();
                shader.evaluate(target->instance, &record);
            }
            break;
        case 9:
            if (target && !target->shader) {
                refhost::ImageJob job(image, in.number());
                job.setMonitor(in.flag());
                filter.process(target->instance, &job.access());
            }
            break;
        case 10:
            if (target && target->shader) shader.init(target->instance);
            break;
        case 11: {
            const std::string& name = services[in.byte() % services.size()];
            if (in.flag()) host.withhold(name); else host.provide(name);
            break;
        }
        case 12:
            if (target) {
                (target->shader ? shader.load : filter.load)(target->instance, nullptr);
                (target->shader ? shader.save : filter.save)(target->instance, nullptr);
                if (target->shader) shader.cleanup(target->instance);
            }
            break;
        case 13:
            if (target) {
                if (target->shader) shader.flags(target->instance); else filter.flags(target->instance);
            }
            break;
        }
    }
    for (const Live& l : live) (l.shader ? shader.destroy : filter.destroy)(l.instance);
    return 0;
}
