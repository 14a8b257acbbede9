// The shader evaluate entry with arbitrary records, scenes and registry
// contents: it must never crash, change only the fields it writes back, and
// give "VelorastinShader"'s colours exactly.
#include <cmath>
#include <cstring>
#include <vector>

#include "host/HandlerTables.h"
#include "refhost/host/Host.h"
#include "servers/LinearizeShader.h"
#include "tests/fuzz/FuzzInput.h"

namespace {

using fuzzing::FuzzInput;

// A shader that asks for the whole classification.
class ClassifyingShader : public velorastin::ShaderServer {
public:
    ClassifyingShader() {
        serverName = "FuzzClassifier";
        flags = kClassifyFlag;
    }
    void evaluateLightRay(velorastin::ShadingSample* s) override { s->colour.x = 0.25; }
    void evaluate(velorastin::ShadingSample* s) override { s->diffuseLevel += 1.0; }
};

refhost::Vec vec(FuzzInput& in) { return {in.number(), in.number(), in.number()}; }

refhost::SceneModel decodeScene(FuzzInput& in) {
    refhost::SceneModel scene = refhost::SceneModel::basic(1 + in.byte(), 1 + in.byte());
    scene.record.renderFlags = in.byte() & 3;
    scene.record.pixelAspect = in.number();
    if (in.flag()) scene.addCamera("camera", vec(in), vec(in), {0, 1, 0}, in.number());
    const int lights = in.byte() % 4;
    for (int i = 0; i < lights; ++i) {
        const int32_t kind = static_cast<int32_t>(in.byte() % 7) - 1;
        const int32_t shadow = in.byte() % 3;
        scene.addLight("light", kind, shadow, vec(in), vec(in));
    }
    return scene;
}

struct Registry {
    host::RayCallList list{};
    host::RayCallNode nodes[3]{};
    host::RayCallReply replies[3]{};
};

void decodeRegistry(FuzzInput& in, Registry& r) {
    const int count = in.byte() % 4;
    r.list.tag = in.word();
    for (int i = 0; i < count; ++i) {
        host::RayCallNode& n = r.nodes[i];
        n.kind = in.byte() % 4;
        for (double& d : n.start) d = in.number();
        for (double& d : n.direction) d = in.number();
        n.callerId = in.word();
        n.reply = in.flag() ? &r.replies[i] : nullptr;
        n.next = i + 1 < count ? &r.nodes[i + 1] : nullptr;
    }
    r.list.head = count ? &r.nodes[0] : nullptr;
}

void checkOnlyWrittenBackChanged(const host::SampleAccess& before, const host::SampleAccess& after) {
    const auto* a = reinterpret_cast<const uint8_t*>(&before);
    const auto* b = reinterpret_cast<const uint8_t*>(&after);
    if (std::memcmp(a, b, host::kSampleWritableBegin) != 0 ||
        std::memcmp(a + host::kSampleWritableEnd, b + host::kSampleWritableEnd,
                    sizeof(host::SampleAccess) - host::kSampleWritableEnd) != 0)
        fuzzing::fail("evaluate changed a field outside the written-back range");
}

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    refhost::Host host(decodeScene(in));
    host.log.enabled = false;
    Registry registry;
    const bool otherParty = in.flag();
    if (otherParty) {
        decodeRegistry(in, registry);
        auto** block = static_cast<host::RayCallList**>(host.createRenderBlock(host::kRayCallListKey, 4));
        *block = &registry.list;
    }

    host::ShaderHandler linear{}, classifying{};
    velorastin::shaderActivationOf<velorastin::LinearizeShader>(2, refhost::Host::lookupFunction(), &linear, nullptr);
    velorastin::shaderActivationOf<ClassifyingShader>(2, refhost::Host::lookupFunction(), &classifying, nullptr);
    host::Instance a = linear.create(nullptr);
    host::Instance b = classifying.create(nullptr);
    if (!a || !b) fuzzing::fail("create returned null after activation");
    static_cast<ClassifyingShader*>(b)->handlesLightRays = in.flag();
    linear.newTime(a, 1, in.number());
    classifying.newTime(b, 1, in.number());

    while (in.remaining() > 0) {
        host::SampleAccess record;
        in.take(&record, sizeof record);
        std::memset(record.hostFunctions, 0, sizeof record.hostFunctions);

        host::SampleAccess before = record;
        linear.evaluate(a, &record);
        checkOnlyWrittenBackChanged(before, record);
        const bool special = (before.itemId & 0xFFFF) == 0x7FFF;
        for (int c = 0; c < 3; ++c) {
            const double expected = special ? before.colour[c] : std::pow(before.colour[c], 2.2);
            if (!sameBits(record.colour[c], expected)) fuzzing::fail("VelorastinShader colour differs from pow(c, 2.2)");
        }

        before = record;
        classifying.evaluate(b, &record);
        checkOnlyWrittenBackChanged(before, record);
    }
    linear.destroy(a);
    classifying.destroy(b);
    return 0;
}
