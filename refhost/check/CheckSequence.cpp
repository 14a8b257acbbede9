// The servers this host knows, held to their documented call sequences: a
// scripted session is traced (every entry the host calls, every host function
// the module calls) and compared call by call, arguments and results, with
// the sequence built from the host's model of the interface.
#include "refhost/check/Check.h"
#include "refhost/check/KnownServers.h"
#include "refhost/check/ReferenceSequence.h"
#include "refhost/host/Trace.h"
#include "refhost/image/ImageJob.h"

namespace refhost::check {

namespace {

constexpr double kFirstTime = 0.5, kSecondTime = 0.75;

void expectSequence(const ReferenceSequence& expected, const CallLog& log) {
    const std::string difference = firstDifference(expected.calls(), log.calls());
    if (!difference.empty()) fail(difference);
}

// The activation and create entries of a traced session, with the lookups
// the creation makes; skips when the row does not bind.
template <class Driver>
host::Instance bindAndCreate(Driver& driver, ReferenceSequence& expected, const RowFacts& r) {
    stage("activation");
    expected.entry("activate", {"2", "GlobalLookup", "handler table", "null"}, "0");
    if (driver.activate(2) != 0) skip("\"" + r.label + "\" does not bind with interface version 2 (see versions/" + r.label + ")");
    stage("create");
    expected.entry("create", {"null"}, "instance 1");
    expected.initLookups();
    return createInstance(driver, "create");
}

// Created and asked for its init, moved to two frames, evaluated in each, and
// destroyed: the lookups of every init, the refreshes at the instance's time,
// the registry found or created, and evaluate touching nothing of the host.
void checkShaderSequence(const ModuleFacts& facts, const RowFacts& r) {
    Session session(facts);
    Trace trace(session.host);
    ShaderDriver shader(session.row(r));
    shader.trace = &trace;
    ReferenceSequence expected;
    const SceneModel& scene = session.host.scene;

    host::Instance instance = bindAndCreate(shader, expected, r);
    stage("init entry");
    expected.entry("init", {"instance 1"}, "null");
    expected.initLookups();
    shader.init(instance);

    const host::SampleAccess samples[] = {surfaceSample(0x10000001u, 0.5, 0.25, 1.0), surfaceSample(0x00017FFFu, 0.5, 0.5, 0.5)};
    int32_t frame = 0;
    for (const double time : {kFirstTime, kSecondTime}) {
        ++frame;
        stage("newTime entry at frame " + std::to_string(frame));
        expected.entry("newTime", {"instance 1", formatArg(frame), formatArg(time)}, "null");
        expected.initLookups();
        expected.refresh(scene, time);
        expected.attachRegistry(frame > 1);
        shader.newTime(instance, frame, time);
        for (const host::SampleAccess& sample : samples) {
            host::SampleAccess seen = sample, want = sample;
            linearize(want);
            expected.entry("evaluate", {"instance 1", ShaderDriver::sampleText(sample)}, "colour " + ShaderDriver::colourText(want));
            stage("evaluate entry at frame " + std::to_string(frame));
            shader.evaluate(instance, seen);
        }
    }
    expected.entry("flags", {"instance 1"}, "2");
    shader.flags(instance);
    expected.entry("destroy", {"instance 1"});
    stage("destroy");
    shader.destroy(instance);
    expectSequence(expected, session.host.log);
}

// Created, then given a small image with a monitor and another without one:
// the refresh at each image's time, then rows, pixels and monitor calls in
// the documented order, with the documented bytes.
void checkFilterSequence(const ModuleFacts& facts, const RowFacts& r) {
    Session session(facts);
    Trace trace(session.host);
    FilterDriver filter(session.row(r));
    filter.trace = &trace;
    ReferenceSequence expected;

    host::Instance instance = bindAndCreate(filter, expected, r);

    std::mt19937 random(facts.seed);
    struct Run {
        int32_t width, height;
        double time;
        bool monitor;
    };
    for (const Run& run : {Run{4, 3, kFirstTime, true}, Run{3, 5, kSecondTime, false}}) {
        const Image source = randomImage(run.width, run.height, random);
        const std::string size = std::to_string(run.width) + "x" + std::to_string(run.height);
        ImageJob job(source, run.time, RowFence::AfterRow);
        job.trace = &session.host.log;
        job.setMonitor(run.monitor);
        expected.entry("process", {"instance 1", "image " + size + " at time " + formatArg(run.time)});
        expected.refresh(session.host.scene, run.time);
        expected.encodeImage(source, run.monitor, displayEncode);
        stage("process of a " + size + " image");
        filter.process(instance, job.access());
    }
    expected.entry("flags", {"instance 1"}, "0");
    filter.flags(instance);
    expected.entry("destroy", {"instance 1"});
    stage("destroy");
    filter.destroy(instance);
    expectSequence(expected, session.host.log);
}

} // namespace

std::vector<CheckDefinition> sequenceChecks(const ModuleFacts& facts) {
    std::vector<CheckDefinition> checks;
    for (const RowFacts& r : facts.handlerRows()) {
        if (!r.known()) continue;
        if (r.isShader())
            checks.push_back({"shader/sequence/" + r.label, [facts, r](std::string&) { checkShaderSequence(facts, r); }});
        else
            checks.push_back({"filter/sequence/" + r.label, [facts, r](std::string&) { checkFilterSequence(facts, r); }, true});
    }
    return checks;
}

} // namespace refhost::check
