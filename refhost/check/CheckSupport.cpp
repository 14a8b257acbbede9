// What the checks of every area share inside their child process.

#include <cfloat>
#include <cstdio>
#include <limits>

#include "refhost/check/Check.h"
#include "refhost/host/Utf8.h"
#include "refhost/platform/Platform.h"

namespace refhost::check {

std::vector<RowFacts> ModuleFacts::handlerRows() const {
    std::vector<RowFacts> handlers;
    for (const RowFacts& row : rows)
        if (row.isShader() || row.isFilter()) handlers.push_back(row);
    return handlers;
}

Host& lastingHost() {
    // Held from a pointer that is never cleared, so that leak reports do not count them.
    static auto* const hosts = new std::vector<std::unique_ptr<Host>>;
    hosts->push_back(std::make_unique<Host>(checkScene()));
    hosts->back()->log.enabled = false;
    return *hosts->back();
}

Session::Session(const ModuleFacts& facts) : host(lastingHost()) {
    stage("loading the module");
    std::string error;
    module = Module::load(facts.path, error);
    if (!module) skip("the module could not be loaded: " + error);
    // What loading changes is the load check's to report.
    takeProcessBaseline();
}

const ServerRow& rowOf(const Module& module, const RowFacts& facts) {
    for (const ServerRow& r : module.rows())
        if (r.index == facts.index && r.className == facts.className && r.serverName == facts.serverName) return r;
    fail("row " + std::to_string(facts.index), quoted(facts.className) + " / " + quoted(facts.serverName),
         "a different table in this load");
}

SceneModel checkScene() {
    SceneModel scene = SceneModel::basic(320, 240);
    scene.addCamera("Camera", {0.0, 1.0, -10.0}, {0.0, 0.0, 1.0}, {0.0, 1.0, 0.0}, 3.2);
    scene.addLight("Sun", host::kLightDistant, host::kShadowRayTraced, {0.0, 10.0, 0.0}, {0.3, -1.0, 0.2});
    scene.addLight("Lamp", host::kLightPoint, host::kShadowRayTraced, {2.0, 3.0, -1.0});
    scene.ambient = constant({0.1, 0.1, 0.1});
    return scene;
}

host::SampleAccess surfaceSample(host::ItemId item, double red, double green, double blue) {
    host::SampleAccess s{};
    s.pixelX = 160;
    s.pixelY = 120;
    s.worldPosition[1] = 1.0;
    s.raySource[1] = 1.0;
    s.raySource[2] = -10.0;
    s.shadingNormal[2] = -1.0;
    s.itemId = item;
    s.colour[0] = red;
    s.colour[1] = green;
    s.colour[2] = blue;
    s.diffuse = 1.0;
    return s;
}

void failWith(const std::vector<std::string>& problems) {
    constexpr std::size_t kBriefProblems = 3;
    std::string text, brief;
    for (std::size_t i = 0; i < problems.size(); ++i) {
        text += (i ? "; " : "") + problems[i];
        if (i + 1 == kBriefProblems) brief = text;
    }
    if (problems.size() > kBriefProblems)
        brief += "; and " + std::to_string(problems.size() - kBriefProblems) + " more (--verbose shows them all)";
    else
        brief.clear();
    throw CheckFailure{text, brief};
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::string printable(const std::string& text) {
    const std::string valid = validUtf8(text);
    std::string out;
    for (std::string_view rest(valid); !rest.empty();) {
        const auto size = static_cast<std::size_t>(utf8SequenceAt(rest));
        if (controlAt(rest))
            out += kReplacementCharacter;
        else
            out += rest.substr(0, size);
        rest.remove_prefix(size);
    }
    return out;
}

std::string hex(uint32_t value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08x", value);
    return buffer;
}

const RecordField& fieldAt(std::span<const RecordField> fields, std::size_t offset) {
    const RecordField* field = &fields.front();
    for (const RecordField& f : fields)
        if (f.offset <= offset) field = &f;
    return *field;
}

std::string hexByte(uint8_t value) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "0x%02x", value);
    return buffer;
}

std::string decimal(uint64_t value) {
    std::string digits = std::to_string(value);
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(static_cast<std::size_t>(i), ",");
    return digits;
}

namespace {
constexpr std::size_t kMessageLimit = 1023;
} // namespace

bool readableMessage(const char* message) {
    std::string text;
    return !message || readText(message, kMessageLimit, text);
}

std::string messageText(const char* message) {
    if (!message) return "null";
    std::string text;
    if (!readText(message, kMessageLimit, text))
        return "an unreadable or unterminated text at " + hex(reinterpret_cast<uintptr_t>(message));
    return quoted(text);
}

std::vector<uint8_t> instanceBytes(host::Instance instance) {
    std::vector<uint8_t> bytes(platform::allocationSize(instance));
    if (!readMemory(instance, bytes.data(), bytes.size())) fail("the instance's memory is not readable");
    return bytes;
}

Image everyByteImage() {
    Image image(256, 1, true);
    for (int v = 0; v < 256; ++v) {
        uint8_t* p = image.pixel(v, 0);
        p[0] = static_cast<uint8_t>(v);
        p[1] = static_cast<uint8_t>(255 - v);
        p[2] = static_cast<uint8_t>(v * 97 + 13);
        p[3] = static_cast<uint8_t>(v * 59 + 7);
    }
    return image;
}

namespace {
// The host functions of an awkward record: a shader may call them; these do nothing.
int32_t awkwardHostFunction() { return 0; }
} // namespace

std::vector<host::SampleAccess> awkwardRecords() {
    constexpr double inf = std::numeric_limits<double>::infinity();
    static const double values[] = {0.0,     1.0,     0.5,       0.25,      0.75,    0.1,     0.2176376408240310,
                                    0.9999999999999999, 1.0000000000000002, 1e-3, 1e-7, 1e-30, 1e-150, 1e-300,
                                    DBL_MIN, 1e-310,  4.9406564584124654e-324, 2.0, 3.5,  255.0,   1e10,
                                    1e150,   1e300,   DBL_MAX,   -0.0,      -0.5,    inf,     std::numeric_limits<double>::quiet_NaN()};
    static const double normals[][3] = {{0.0, 0.0, -1.0}, {0.6, -0.8, 0.0},  {0.0, 0.0, 0.0},    {1e-310, 0.0, -1.0},
                                        {0.57735026918962584, 0.57735026918962584, -0.57735026918962584},
                                        {-1.0, 0.0, 0.0}, {0.0, 1e300, 0.0}};
    static const host::ItemId items[] = {0x10000001u, makeItemId(host::kItemCamera, 0), makeItemId(host::kItemLight, 0),
                                         makeItemId(host::kItemLight, 1), 0x00017FFFu, 0u};
    constexpr std::size_t n = std::size(values);
    std::vector<host::SampleAccess> records;
    for (std::size_t i = 0; i < std::size(items); ++i) {
        for (std::size_t k = 0; k < n; ++k) {
            host::SampleAccess s = surfaceSample(items[i], values[k], values[(k + 5) % n], values[(k + 11) % n]);
            s.pixelX = static_cast<int32_t>((k * 37 + i * 11) % 320);
            s.pixelY = static_cast<int32_t>((k * 13 + i * 7) % 240);
            const double* normal = normals[(k + i) % std::size(normals)];
            for (int c = 0; c < 3; ++c) s.shadingNormal[c] = s.geometricNormal[c] = normal[c];
            double* levels[] = {&s.luminosity, &s.diffuse, &s.specular, &s.mirror, &s.transparency, &s.eta, &s.roughness};
            for (std::size_t l = 0; l < std::size(levels); ++l) *levels[l] = values[(k + 2 + 3 * l + i) % n];
            for (void*& f : s.hostFunctions) f = reinterpret_cast<void*>(awkwardHostFunction);
            records.push_back(s);
        }
    }
    return records;
}

const std::vector<std::string>& dependentGroups() {
    static const std::vector<std::string> groups = {"versions", "lifecycle", "memory", "services", "shader",
                                                    "filter", "threads", "fpenv"};
    return groups;
}

std::vector<CheckDefinition> handlerRowChecks(const ModuleFacts& facts, const std::string& area,
                                              std::function<void(ShaderDriver&)> shader,
                                              std::function<void(FilterDriver&)> filter) {
    std::vector<CheckDefinition> checks;
    for (const RowFacts& r : facts.handlerRows()) {
        checks.push_back({area + "/" + r.label, [facts, r, shader, filter](std::string&) {
                              Session session(facts);
                              if (r.isShader()) {
                                  ShaderDriver driver(session.row(r));
                                  bind(driver, r.label);
                                  shader(driver);
                              } else {
                                  FilterDriver driver(session.row(r));
                                  bind(driver, r.label);
                                  filter(driver);
                              }
                          }});
    }
    return checks;
}

} // namespace refhost::check
