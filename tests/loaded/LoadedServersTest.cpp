// Both servers of the built module, driven through their handler tables only,
// as the host drives them.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "host/RayRegistry.h"
#include "refhost/host/Drivers.h"
#include "refhost/host/Host.h"
#include "refhost/image/ImageJob.h"
#include "refhost/platform/Platform.h"
#include "tests/inproc/DisplayEncoding.h"
#include "tests/loaded/LoadedModule.h"

using namespace testing_support;
using refhost::FilterDriver;
using refhost::ShaderDriver;

namespace {

struct Servers {
    std::unique_ptr<refhost::Module> module = loadModule();
    const refhost::ServerRow& row(const char* className) {
        const refhost::ServerRow* r = module->find(className);
        EXPECT_TRUE(r) << className;
        return *r;
    }
};

// Whether `text` lies, with a 64-byte buffer, inside the heap block `instance`.
bool insideInstance(const void* text, host::Instance instance) {
    const auto* begin = static_cast<const char*>(instance);
    const auto* at = static_cast<const char*>(text);
    return at > begin && at + 64 <= begin + refhost::platform::allocationSize(instance);
}

template <class Driver>
void expectVersions(Driver& driver) {
    for (int32_t version : {0, 3, -1}) {
        SCOPED_TRACE(version);
        EXPECT_EQ(driver.activate(version), 1);
        EXPECT_TRUE(driver.allUntouched());
    }
    EXPECT_EQ(driver.activate(1), 0);
    EXPECT_TRUE(Driver::untouched(driver.table.describe));
    EXPECT_FALSE(Driver::untouched(driver.table.create));
    EXPECT_FALSE(Driver::untouched(driver.table.flags));
    EXPECT_EQ(driver.activate(2), 0);
    const auto* words = reinterpret_cast<const uint32_t*>(&driver.table);
    for (std::size_t i = 0; i < sizeof driver.table / 4; ++i) {
        EXPECT_NE(words[i], refhost::kTableSentinel) << "slot at offset " << i * 4;
        EXPECT_NE(words[i], 0u) << "slot at offset " << i * 4;
    }
}

} // namespace

TEST(LoadedServers, FilterActivationVersions) {
    Servers s;
    refhost::Host host;
    FilterDriver filter(s.row(host::kImageFilterHandlerClass));
    expectVersions(filter);
}

TEST(LoadedServers, ShaderActivationVersions) {
    Servers s;
    refhost::Host host;
    ShaderDriver shader(s.row(host::kShaderHandlerClass));
    expectVersions(shader);
}

TEST(LoadedServers, CreateDescribeCopyDestroy) {
    Servers s;
    refhost::Host host;
    FilterDriver filter(s.row(host::kImageFilterHandlerClass));
    ShaderDriver shader(s.row(host::kShaderHandlerClass));
    ASSERT_EQ(filter.activate(2), 0);
    ASSERT_EQ(shader.activate(2), 0);

    host::Instance a = filter.create(), b = filter.create(), sh = shader.create();
    ASSERT_TRUE(a && b && sh);
    EXPECT_NE(a, b);
    EXPECT_EQ(filter.flags(a), 0);

    const char* text = filter.table.describe(a);
    ASSERT_TRUE(text);
    EXPECT_STREQ(text, "VelorastinFilter");
    EXPECT_TRUE(insideInstance(text, a));
    const char* shaderText = shader.table.describe(sh);
    EXPECT_STREQ(shaderText, "VelorastinShader");
    EXPECT_TRUE(insideInstance(shaderText, sh));

    // The copy entry copies the description into the target's own buffer.
    const std::ptrdiff_t offset = text - static_cast<const char*>(a);
    const char* bText = static_cast<const char*>(b) + offset;
    EXPECT_LT(strnlen(bText, 64), 64u) << "an undescribed instance holds an unterminated description";
    EXPECT_EQ(filter.copy(a, b), 0);
    EXPECT_STREQ(bText, "VelorastinFilter");

    // Between servers nothing is copied, and the host still gets 0.
    text = filter.table.describe(a);
    EXPECT_EQ(filter.copy(sh, a), 0);
    EXPECT_EQ(shader.copy(a, sh), 0);
    EXPECT_STREQ(text, "VelorastinFilter");
    EXPECT_STREQ(shaderText, "VelorastinShader");

    EXPECT_EQ(filter.load(a), 0);
    EXPECT_EQ(filter.save(a), 0);
    EXPECT_EQ(shader.load(sh), 0);
    EXPECT_EQ(shader.save(sh), 0);
    EXPECT_STREQ(text, "VelorastinFilter");

    filter.destroy(nullptr);
    shader.destroy(nullptr);
    filter.destroy(a);
    filter.destroy(b);
    shader.destroy(sh);
}

TEST(LoadedServers, ShaderInitNamesTheFirstMissingService) {
    Servers s;
    const std::vector<std::string> services = refhost::Host::requiredServiceNames();
    const std::vector<std::string> messages = {
        "Couldn't get Info Messages functions", "Couldn't get Scene Info",  "Couldn't get Item Info",
        "Couldn't get Light Info",              "Couldn't get Camera Info", "Couldn't get Object Info",
        "Couldn't get Global Memory",           "Couldn't get Global Render Memory"};
    ASSERT_EQ(services.size(), messages.size());
    for (std::size_t i = 0; i < services.size(); ++i) {
        SCOPED_TRACE(services[i]);
        refhost::Host host;
        host.withhold(services[i]);
        ShaderDriver shader(s.row(host::kShaderHandlerClass));
        ASSERT_EQ(shader.activate(2), 0);
        host::Instance instance = shader.create();  // a missing service does not stop creation
        ASSERT_TRUE(instance);
        host.log.clear();
        const char* error = shader.init(instance);
        ASSERT_TRUE(error);
        EXPECT_EQ(std::string(error), messages[i]);
        const std::vector<std::string> expected(services.begin(), services.begin() + static_cast<std::ptrdiff_t>(i) + 1);
        EXPECT_EQ(host.lookups(), expected);
        host.provide(services[i]);
        EXPECT_EQ(shader.init(instance), nullptr);
        shader.destroy(instance);
    }
}

TEST(LoadedServers, ShaderTimeStepPublishesTheRegistryUnderItsSharedKey) {
    Servers s;
    refhost::Host host;
    ShaderDriver shader(s.row(host::kShaderHandlerClass));
    ASSERT_EQ(shader.activate(2), 0);
    host::Instance instance = shader.create();
    ASSERT_TRUE(instance);
    ASSERT_EQ(shader.newTime(instance, 1, 0.0), nullptr);
    // Other plug-ins find the list by this very name.
    auto** block = static_cast<host::RayCallList**>(host.renderBlock("TARNE_rayCallList"));
    ASSERT_TRUE(block);
    ASSERT_TRUE(*block);
    EXPECT_TRUE((*block)->busy == 0 && (*block)->tag == 0 && (*block)->head == nullptr);
    shader.destroy(instance);
}

TEST(LoadedServers, ModuleExportsOnlyTheDescriptor) {
    if (kWindows) GTEST_SKIP() << "the DLL's export table is read by windows.exports_and_imports";
    if (std::system("command -v nm > /dev/null 2>&1") != 0) GTEST_SKIP() << "nm is not installed";
    const std::string command = std::string("nm -D --defined-only '") + modulePath() + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_TRUE(pipe);
    std::vector<std::string> symbols;
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) {
        std::istringstream words(line);
        std::string address, kind, name;
        words >> address >> kind >> name;
        symbols.push_back(name.empty() ? kind : name);
    }
    EXPECT_EQ(pclose(pipe), 0);
    EXPECT_EQ(symbols, std::vector<std::string>{"_mod_descrip"});
}

TEST(LoadedServers, FilterEncodesEveryByteAndPassesAlpha) {
    Servers s;
    refhost::Host host;
    FilterDriver filter(s.row(host::kImageFilterHandlerClass));
    ASSERT_EQ(filter.activate(2), 0);
    host::Instance instance = filter.create();
    ASSERT_TRUE(instance);

    refhost::Image source(256, 2);
    for (int32_t x = 0; x < 256; ++x)
        for (int32_t y = 0; y < 2; ++y) {
            uint8_t* p = source.pixel(x, y);
            p[0] = static_cast<uint8_t>(x);
            p[1] = static_cast<uint8_t>(255 - x);
            p[2] = static_cast<uint8_t>(x * 7 + y);
            p[3] = static_cast<uint8_t>(x ^ 0x5A);
        }
    refhost::ImageJob job(source, 0.0);
    job.fillOutput(0xEE);
    filter.process(instance, job.access());
    auto encode = [](int v) { return testing_support::kDisplayEncoded[v]; };
    for (int32_t y = 0; y < 2; ++y)
        for (int32_t x = 0; x < 256; ++x)
            for (int c = 0; c < 4; ++c) {
                const int in = source.pixel(x, y)[c];
                ASSERT_EQ(job.output.pixel(x, y)[c], c == 3 ? in : encode(in)) << "x " << x << " y " << y << " c " << c;
            }
    // Where truncation and rounding part ways.
    const std::pair<int, int> known[] = {{0, 0}, {1, 20}, {3, 33}, {8, 52}, {100, 166}, {254, 254}, {255, 255}};
    for (auto [in, out] : known) EXPECT_EQ(job.output.pixel(in, 0)[0], out) << in;
    for (uint16_t n : job.colourSets) ASSERT_EQ(n, 1);
    for (uint16_t n : job.alphaSets) ASSERT_EQ(n, 1);
    EXPECT_EQ(job.outsideRequests, 0);
    EXPECT_EQ(job.begins, 1);
    EXPECT_EQ(job.advances, 2);
    EXPECT_EQ(job.finishes, 1);
    filter.destroy(instance);
}
