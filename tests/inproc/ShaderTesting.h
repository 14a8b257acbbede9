// Shared rig for the shader framework tests: an emulated host, a handler table
// filled by a real activation, and a shader class that records which evaluate
// operation received each sample and what the classification had set.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "framework/Adaptors.h"
#include "host/HandlerTables.h"
#include "refhost/host/Host.h"
#include "refhost/host/SceneModel.h"
#include "shader/ShaderServer.h"

namespace shadertest {

// The classification fields as an evaluate operation received them.
struct Seen {
    char operation;  // 'L' evaluateLightRay, 'S' evaluateSpecial, 'E' evaluate
    int32_t viewerMode;
    host::ItemId viewerId;
    host::RayCallNode* node;
    int32_t nodeKind;
    uint32_t registryTag;
};

template <uint32_t Flags, int32_t LightRays>
class RecordingShader : public velorastin::ShaderServer {
public:
    static constexpr const char kName[] = "RecordingShader";
    RecordingShader() {
        serverName = kName;
        flags = Flags;
        handlesLightRays = LightRays;
    }
    void evaluateLightRay(velorastin::ShadingSample* s) override { note('L', *s); }
    void evaluateSpecial(velorastin::ShadingSample* s) override {
        note('S', *s);
        ShaderServer::evaluateSpecial(s);  // the default hands on to evaluate
    }
    void evaluate(velorastin::ShadingSample* s) override { note('E', *s); }

    std::string operations() const {
        std::string out;
        for (const Seen& s : seen) out += s.operation;
        return out;
    }
    const Seen& last() const { return seen.back(); }

    std::vector<Seen> seen;

private:
    void note(char op, const velorastin::ShadingSample& s) {
        seen.push_back({op, s.viewerMode, s.viewerId, s.node, s.nodeKind, s.registryTag});
    }
};

using ClassifyingShader = RecordingShader<velorastin::ShaderServer::kClassifyFlag, 0>;
using LightRayShader = RecordingShader<0, 1>;
using PlainShader = RecordingShader<2, 0>;

inline constexpr unsigned char kSentinel = 0xA5;

class ShaderRig {
public:
    explicit ShaderRig(refhost::SceneModel scene = refhost::SceneModel::basic()) : host(std::move(scene)) {
        std::memset(&table, kSentinel, sizeof table);
    }
    ~ShaderRig() {
        for (host::Instance i : instances_) table.destroy(i);
    }

    template <class Shader>
    int32_t activate(int32_t version = 2) {
        return velorastin::shaderActivationOf<Shader>(version, refhost::Host::lookupFunction(), &table, nullptr);
    }

    // Activates the class into the table and creates one instance through it.
    template <class Shader>
    Shader* create() {
        activate<Shader>();
        host::Instance instance = table.create(nullptr);
        if (!instance) return nullptr;
        instances_.push_back(instance);
        return static_cast<Shader*>(velorastin::serverOf(instance));
    }

    static host::Instance instanceOf(velorastin::ShaderServer* shader) { return velorastin::instanceOf(shader); }
    host::ErrorText newTime(velorastin::ShaderServer* shader, int32_t frame = 1, double time = 0.25) {
        return table.newTime(instanceOf(shader), frame, time);
    }
    void evaluate(velorastin::ShaderServer* shader, host::SampleAccess& record) {
        table.evaluate(instanceOf(shader), &record);
    }

    // Publishes `list` as another party's registry before any time step.
    void publish(host::RayCallList* list) {
        *static_cast<host::RayCallList**>(host.createRenderBlock(host::kRayCallListKey, sizeof(void*))) = list;
    }

    refhost::Host host;
    host::ShaderHandler table;

private:
    std::vector<host::Instance> instances_;
};

// A default record for a point at `point` reached by a ray from `source`.
inline host::SampleAccess sampleRecord(refhost::Vec point, refhost::Vec source, host::ItemId item = 0x00010001) {
    host::SampleAccess r;
    velorastin::fillDefaultRecord(r);
    r.worldPosition[0] = point.x;
    r.worldPosition[1] = point.y;
    r.worldPosition[2] = point.z;
    r.raySource[0] = source.x;
    r.raySource[1] = source.y;
    r.raySource[2] = source.z;
    r.itemId = item;
    return r;
}

inline bool sameBytes(const void* a, const void* b, std::size_t from, std::size_t to) {
    return std::memcmp(static_cast<const char*>(a) + from, static_cast<const char*>(b) + from, to - from) == 0;
}

} // namespace shadertest
