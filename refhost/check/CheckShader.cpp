// Shaders: the evaluate entry writes only the fields a shader may change, on
// records full of awkward values; known shaders give their documented colour;
// and instances on several threads give what one thread gives.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <limits>
#include <thread>

#include "refhost/check/Check.h"
#include "refhost/check/KnownServers.h"

namespace refhost::check {

namespace {

constexpr int kRecords = 100000;
constexpr std::size_t kGuard = 64;  // bytes watched on each side of the record
constexpr uint8_t kGuardByte = 0xCD;
constexpr int32_t kFrame = 1;
constexpr double kTime = 1.0 / 30.0;

// The host functions of a record: a shader may call them; these do nothing.
int32_t hostFunctionStub() { return 0; }

// Seeded records with the values a host can hand over: not-a-number,
// infinities, subnormals, huge values, zero-length normals, special items.
class RecordMaker {
public:
    explicit RecordMaker(uint32_t seed) : random_(seed), normals_(seed ^ 0x9E3779B9u) {}

    host::SampleAccess next() {
        host::SampleAccess s{};
        s.pixelX = pixel();
        s.pixelY = pixel();
        vector(s.objectPosition);
        vector(s.worldPosition);
        vector(s.geometricNormal);
        s.spotSize = value();
        vector(s.raySource);
        s.rayLength = value();
        s.hitCosine = value();
        for (double& v : s.objectTransform) v = value();
        for (double& v : s.worldTransform) v = value();
        s.itemId = item();
        s.polygonIndex = static_cast<int32_t>(random_());
        vector(s.shadingNormal);
        // Half the shading normals are unit length, as a host hands them.
        if (std::uniform_int_distribution<int>(0, 1)(normals_)) unitVector(s.shadingNormal);
        for (double& c : s.colour) c = chance(0.6) ? uniform(0.0, 1.0) : value();
        for (double* level : {&s.luminosity, &s.diffuse, &s.specular, &s.mirror, &s.transparency, &s.eta, &s.roughness})
            *level = chance(0.5) ? uniform(0.0, 1.0) : value();
        for (void*& f : s.hostFunctions) f = reinterpret_cast<void*>(hostFunctionStub);
        return s;
    }

private:
    bool chance(double p) { return std::uniform_real_distribution<double>(0.0, 1.0)(random_) < p; }
    double uniform(double low, double high) { return std::uniform_real_distribution<double>(low, high)(random_); }
    template <class T, std::size_t N>
    T pickFrom(const T (&values)[N]) {
        return values[std::uniform_int_distribution<std::size_t>(0, N - 1)(random_)];
    }

    double value() {
        static const double awkward[] = {0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 1e-310, -4.9406564584124654e-324,
                                         DBL_MIN, DBL_MAX, -DBL_MAX, 1e300, -1e300,
                                         std::numeric_limits<double>::infinity(),
                                         -std::numeric_limits<double>::infinity(),
                                         std::numeric_limits<double>::quiet_NaN(),
                                         -std::numeric_limits<double>::quiet_NaN(),
                                         std::numeric_limits<double>::signaling_NaN()};
        const double r = uniform(0.0, 1.0);
        if (r < 0.35) return pickFrom(awkward);
        if (r < 0.7) return uniform(-2.0, 2.0);
        if (r < 0.9) return uniform(0.0, 1.0);
        const uint64_t bits = (static_cast<uint64_t>(random_()) << 32) | random_();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }

    void vector(double (&v)[3]) {
        const bool zeroLength = chance(0.15);
        for (double& c : v) c = zeroLength ? 0.0 : value();
    }

    // From a generator of its own, so that the other fields are the same as
    // without it for the same seed.
    void unitVector(double (&v)[3]) {
        const double z = std::uniform_real_distribution<double>(-1.0, 1.0)(normals_);
        const double angle = std::uniform_real_distribution<double>(0.0, 6.283185307179586)(normals_);
        const double r = std::sqrt(1.0 - z * z);
        v[0] = r * std::cos(angle);
        v[1] = r * std::sin(angle);
        v[2] = z;
    }

    int32_t pixel() {
        static const int32_t awkward[] = {INT32_MIN, INT32_MAX, -1, 0};
        return chance(0.2) ? pickFrom(awkward) : std::uniform_int_distribution<int32_t>(0, 319)(random_);
    }

    host::ItemId item() {
        // Special items have 0x7FFF in the low 16 bits; the others are the scene's or any.
        static const host::ItemId awkward[] = {0u,          0x7FFFu,    0xFFFF7FFFu, 0x00017FFFu, 0xFFFFFFFFu,
                                               0x7FFEu,     0x8000u,    makeItemId(host::kItemCamera, 0),
                                               makeItemId(host::kItemLight, 0), makeItemId(host::kItemLight, 1)};
        return chance(0.8) ? pickFrom(awkward) : static_cast<host::ItemId>(random_());
    }

    std::mt19937 random_;
    std::mt19937 normals_;
};

} // namespace

// What the bytes of a record are, for a report.
std::string sampleFieldAt(std::size_t offset) {
    static const RecordField fields[] = {
        {offsetof(host::SampleAccess, pixelX), "pixel x"},
        {offsetof(host::SampleAccess, pixelY), "pixel y"},
        {offsetof(host::SampleAccess, objectPosition), "object position"},
        {offsetof(host::SampleAccess, worldPosition), "world position"},
        {offsetof(host::SampleAccess, geometricNormal), "geometric normal"},
        {offsetof(host::SampleAccess, spotSize), "spot size"},
        {offsetof(host::SampleAccess, raySource), "ray source"},
        {offsetof(host::SampleAccess, rayLength), "ray length"},
        {offsetof(host::SampleAccess, hitCosine), "hit cosine"},
        {offsetof(host::SampleAccess, objectTransform), "object transform"},
        {offsetof(host::SampleAccess, worldTransform), "world transform"},
        {offsetof(host::SampleAccess, itemId), "item id"},
        {offsetof(host::SampleAccess, polygonIndex), "polygon number"},
        {offsetof(host::SampleAccess, shadingNormal), "shading normal"},
        {offsetof(host::SampleAccess, colour), "colour"},
        {offsetof(host::SampleAccess, luminosity), "luminosity"},
        {offsetof(host::SampleAccess, diffuse), "diffuse"},
        {offsetof(host::SampleAccess, specular), "specular"},
        {offsetof(host::SampleAccess, mirror), "mirror"},
        {offsetof(host::SampleAccess, transparency), "transparency"},
        {offsetof(host::SampleAccess, eta), "eta"},
        {offsetof(host::SampleAccess, roughness), "roughness"},
        {offsetof(host::SampleAccess, hostFunctions), "host functions"},
    };
    return fieldAt(fields, offset).name;
}

std::string writableDoubleName(std::size_t offset) {
    for (const std::size_t vector : {offsetof(host::SampleAccess, shadingNormal), offsetof(host::SampleAccess, colour)})
        if (offset >= vector && offset < vector + 3 * sizeof(double))
            return sampleFieldAt(offset) + " component " + std::to_string((offset - vector) / sizeof(double));
    return sampleFieldAt(offset) + " at offset " + std::to_string(offset);
}

std::size_t firstDifference(const host::SampleAccess& a, const host::SampleAccess& b) {
    const auto* x = reinterpret_cast<const uint8_t*>(&a);
    const auto* y = reinterpret_cast<const uint8_t*>(&b);
    std::size_t offset = 0;
    while (offset < sizeof a && x[offset] == y[offset]) ++offset;
    return offset;
}

std::string doubleText(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    char buffer[80];
    std::snprintf(buffer, sizeof buffer, "%.17g (bits 0x%016llx)", v, static_cast<unsigned long long>(bits));
    return buffer;
}

namespace {

constexpr double kUnitTolerance = 1e-6;

double lengthOf(const double (&v)[3]) { return std::hypot(v[0], v[1], v[2]); }
bool unitLength(const double (&v)[3]) { return std::fabs(lengthOf(v) - 1.0) <= kUnitTolerance; }

std::string vectorText(const double (&v)[3]) {
    char text[96];
    std::snprintf(text, sizeof text, "(%.17g, %.17g, %.17g)", v[0], v[1], v[2]);
    return text;
}

// What a host reads back from a record and relies on: a unit-length shading
// normal (the one it handed over was), and finite values where it handed
// finite ones on a surface such as it shades. Each rule warns once, naming its
// first record and counting the others.
class WrittenBack {
public:
    void look(int n, const host::SampleAccess& given, const host::SampleAccess& back) {
        auto record = [&] { return "record " + std::to_string(n) + " (item id " + hex(given.itemId) + ")"; };
        if (unitLength(given.shadingNormal) && !unitLength(back.shadingNormal) && normal_.count++ == 0)
            normal_.first = record() + ": the shading normal came back as " + vectorText(back.shadingNormal) +
                            ", of length " + doubleText(lengthOf(back.shadingNormal)) + ", from the unit " +
                            vectorText(given.shadingNormal) + ": a host expects a unit-length shading normal";
        if (!everyday(given)) return;
        const auto* in = reinterpret_cast<const uint8_t*>(&given);
        const auto* out = reinterpret_cast<const uint8_t*>(&back);
        for (std::size_t at = host::kSampleWritableBegin; at < host::kSampleWritableEnd; at += sizeof(double)) {
            double from, to;
            std::memcpy(&from, in + at, sizeof from);
            std::memcpy(&to, out + at, sizeof to);
            if (std::isfinite(to)) continue;
            if (nonFinite_.count++ == 0)
                nonFinite_.first = record() + ": " + writableDoubleName(at) + " came back as " + doubleText(to) +
                                   " from the finite " + doubleText(from) +
                                   ": a host expects finite values back for finite ones";
            return;
        }
    }
    void warnAll() const {
        for (const Rule* rule : {&normal_, &nonFinite_})
            if (rule->count)
                warn(rule->first + (rule->count > 1 ? "; and so did " + decimal(rule->count - 1) + " more records" : ""));
    }

private:
    // A surface as a host shades one: a unit normal, colour and levels from 0 to 1.
    static bool everyday(const host::SampleAccess& s) {
        if (!unitLength(s.shadingNormal)) return false;
        for (double v : {s.colour[0], s.colour[1], s.colour[2], s.luminosity, s.diffuse, s.specular, s.mirror,
                         s.transparency, s.eta, s.roughness})
            if (!(v >= 0.0 && v <= 1.0)) return false;
        return true;
    }

    struct Rule {
        std::string first;   // the first record's text
        uint64_t count = 0;  // the records that broke the rule
    };
    Rule normal_, nonFinite_;
};

// A bound shader instance, moved to a frame as a host does before shading.
// Checks destroy it when they pass; after a failure the child just ends.
struct ShaderSetup {
    Session session;
    ShaderDriver shader;
    host::Instance instance;

    ShaderSetup(const ModuleFacts& facts, const RowFacts& r)
        : session(facts), shader(session.row(r)), known(r.known()) {
        bind(shader, r.label);
        instance = createInstance(shader, "create");
        moveToFrame(instance, "newTime entry");
    }
    // A known shader needs no more than this host offers. Another may need a
    // service it lacks: its message says it cannot run here, and the check skips.
    void moveToFrame(host::Instance target, const std::string& what) {
        stage(what);
        const char* message = shader.newTime(target, kFrame, kTime);
        if (!message) return;
        if (known || !readableMessage(message))
            fail(what + " with every service present", "null", messageText(message));
        skip(what + " answers " + messageText(message) + " with every service this host offers");
    }

    const bool known;
};

// The record between guard bytes; only the shader's fields may change, and
// what it writes back is what a host can use. Each call has a record of its
// own, and the last few stay watched after their calls returned: a record is
// the shader's only during its own call.
void checkEvaluate(const ModuleFacts& facts, const RowFacts& r) {
    ShaderSetup setup(facts, r);
    RecordMaker maker(facts.seed);
    WrittenBack writtenBack;
    constexpr int kLent = 4;  // records in turn: one for the call, the others watched
    struct Lent {
        alignas(8) uint8_t buffer[kGuard + sizeof(host::SampleAccess) + kGuard];
        uint8_t returned[sizeof buffer];  // as the record's own call left it
        int call = -1;                    // the record number it was lent for
    };
    std::vector<Lent> lent(kLent);
    uint8_t before[sizeof lent[0].buffer];
    // Where byte `i` of a buffer lies: in a guard or in the record.
    auto where = [](std::size_t i) {
        const auto offset = static_cast<std::ptrdiff_t>(i) - static_cast<std::ptrdiff_t>(kGuard);
        constexpr auto size = static_cast<std::ptrdiff_t>(sizeof(host::SampleAccess));
        if (offset < 0) return "guard byte " + std::to_string(-offset) + " before the record";
        if (offset >= size) return "guard byte " + std::to_string(offset - size) + " after the record";
        return "record byte " + std::to_string(offset) + " (" + sampleFieldAt(static_cast<std::size_t>(offset)) + ")";
    };
    for (int n = 0; n < kRecords; ++n) {
        Lent& own = lent[static_cast<std::size_t>(n % kLent)];
        uint8_t* buffer = own.buffer;
        auto* record = reinterpret_cast<host::SampleAccess*>(buffer + kGuard);
        std::memset(buffer, kGuardByte, sizeof own.buffer);
        const host::SampleAccess made = maker.next();
        std::memcpy(record, &made, sizeof made);
        std::memcpy(before, buffer, sizeof before);
        stage("record " + std::to_string(n) + " (item id " + hex(made.itemId) + ")");
        setup.shader.evaluate(setup.instance, *record);
        for (std::size_t i = 0; i < sizeof before; ++i) {
            if (buffer[i] == before[i]) continue;
            const auto offset = static_cast<std::ptrdiff_t>(i) - static_cast<std::ptrdiff_t>(kGuard);
            if (offset >= static_cast<std::ptrdiff_t>(host::kSampleWritableBegin) &&
                offset < static_cast<std::ptrdiff_t>(host::kSampleWritableEnd))
                continue;
            fail("record " + std::to_string(n) + ": " + where(i) + ", outside the writable bytes " +
                     std::to_string(host::kSampleWritableBegin) + " to " + std::to_string(host::kSampleWritableEnd - 1),
                 "unchanged " + hexByte(before[i]), hexByte(buffer[i]));
        }
        own.call = n;
        std::memcpy(own.returned, buffer, sizeof own.returned);
        for (const Lent& earlier : lent) {
            if (&earlier == &own || earlier.call < 0 ||
                std::memcmp(earlier.buffer, earlier.returned, sizeof earlier.buffer) == 0)
                continue;
            const std::size_t i = static_cast<std::size_t>(
                std::mismatch(std::begin(earlier.buffer), std::end(earlier.buffer), earlier.returned).first -
                std::begin(earlier.buffer));
            fail("the SampleAccess record of record " + std::to_string(earlier.call) + ", lent for its call only: " +
                     where(i) + ", changed after that call returned, during the evaluate call of record " +
                     std::to_string(n),
                 "unchanged " + hexByte(earlier.returned[i]), hexByte(earlier.buffer[i]));
        }
        writtenBack.look(n, made, *record);
    }
    setup.shader.destroy(setup.instance);
    writtenBack.warnAll();
}

// The documented result of a known shader for one record; null for others.
using ShaderReference = void (*)(host::SampleAccess& sample);

ShaderReference shaderReference(const std::string& serverName) {
    return serverName == kLinearizeShaderName ? linearize : nullptr;
}

// The whole record, bit for bit: the documented colour (the C library's pow
// with the double nearest 2.2) and every other byte as the host wrote it.
void checkReference(const ModuleFacts& facts, const RowFacts& r, ShaderReference reference) {
    ShaderSetup setup(facts, r);
    RecordMaker maker(facts.seed);
    for (int n = 0; n < kRecords; ++n) {
        const host::SampleAccess input = maker.next();
        host::SampleAccess seen = input;
        host::SampleAccess expected = input;
        reference(expected);
        stage("record " + std::to_string(n));
        setup.shader.evaluate(setup.instance, seen);
        const std::size_t offset = firstDifference(expected, seen);
        if (offset == sizeof seen) continue;
        const auto* a = reinterpret_cast<const uint8_t*>(&expected);
        const auto* b = reinterpret_cast<const uint8_t*>(&seen);
        const std::string where = "record " + std::to_string(n) + " (item id " + hex(seen.itemId) + "): " +
                                  sampleFieldAt(offset) + " at offset " + std::to_string(offset);
        const std::size_t colour = offsetof(host::SampleAccess, colour);
        if (offset >= colour && offset < colour + sizeof seen.colour) {
            const std::size_t c = (offset - colour) / sizeof(double);
            fail(where + ", component " + std::to_string(c) + " from " + doubleText(input.colour[c]),
                 doubleText(expected.colour[c]), doubleText(seen.colour[c]));
        }
        fail(where, "unchanged byte " + hexByte(a[offset]), hexByte(b[offset]));
    }
    setup.shader.destroy(setup.instance);
}

// Each thread's instance is made as a host makes one per thread: create, then
// copy the settings of the instance the user set up, then a time step.
void checkThreads(const ModuleFacts& facts, const RowFacts& r) {
    constexpr int kThreads = 4;
    constexpr int kSamples = 20000;
    ShaderSetup setup(facts, r);
    RecordMaker maker(facts.seed);
    std::vector<host::SampleAccess> records(kSamples);
    for (host::SampleAccess& record : records) record = maker.next();

    auto makeInstance = [&](const std::string& what) {
        host::Instance instance = createInstance(setup.shader, what);
        stage(what + ": copy entry");
        if (const int32_t result = setup.shader.copy(setup.instance, instance); result != 0)
            fail(what + ": copy entry's result", "0", std::to_string(result));
        setup.moveToFrame(instance, what + ": newTime entry");
        return instance;
    };
    auto render = [&](host::Instance instance, std::vector<host::SampleAccess>& out) {
        out = records;
        for (host::SampleAccess& record : out) setup.shader.evaluate(instance, record);
    };

    std::vector<host::SampleAccess> alone;
    host::Instance single = makeInstance("the one-thread instance");
    stage("one thread");
    render(single, alone);

    std::vector<host::Instance> instances;
    for (int t = 0; t < kThreads; ++t) instances.push_back(makeInstance("the instance of thread " + std::to_string(t)));
    std::vector<std::vector<host::SampleAccess>> results(kThreads);
    std::vector<std::string> faults(kThreads);
    stage(std::to_string(kThreads) + " threads");
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                try {
                    render(instances[t], results[t]);
                } catch (const EntryFault& fault) {
                    faults[t] = fault.what();
                }
            });
    }
    for (int t = 0; t < kThreads; ++t)
        if (!faults[t].empty()) fail("thread " + std::to_string(t) + ": " + faults[t]);
    for (int t = 0; t < kThreads; ++t) {
        for (int n = 0; n < kSamples; ++n) {
            const std::size_t offset = firstDifference(alone[n], results[t][n]);
            if (offset == sizeof alone[n]) continue;
            const auto* a = reinterpret_cast<const uint8_t*>(&alone[n]);
            const auto* b = reinterpret_cast<const uint8_t*>(&results[t][n]);
            fail("thread " + std::to_string(t) + ", record " + std::to_string(n) + ": " + sampleFieldAt(offset) +
                     " at offset " + std::to_string(offset),
                 "the one-thread result's byte " + hexByte(a[offset]), hexByte(b[offset]));
        }
    }
    setup.shader.destroy(single);
    for (host::Instance instance : instances) setup.shader.destroy(instance);
    setup.shader.destroy(setup.instance);
}

} // namespace

std::vector<CheckDefinition> shaderChecks(const ModuleFacts& facts) {
    std::vector<CheckDefinition> checks;
    for (const RowFacts& r : facts.handlerRows()) {
        if (!r.isShader()) continue;
        checks.push_back({"shader/evaluate/" + r.label, [facts, r](std::string&) { checkEvaluate(facts, r); }, true});
        if (ShaderReference reference = shaderReference(r.serverName))
            checks.push_back({"shader/reference/" + r.label,
                              [facts, r, reference](std::string&) { checkReference(facts, r, reference); }, true});
        checks.push_back({"threads/" + r.label, [facts, r](std::string&) { checkThreads(facts, r); }, true});
    }
    return checks;
}

} // namespace refhost::check
