// The colours "VelorastinShader" gives, for comparing builds of the module on
// different systems (each links its own C runtime's pow):
//
//   shader_colours write OUT.bin [MODULE]   1,000,000 seeded colour components
//                                           through the evaluate entry, as doubles
//   shader_colours compare A.bin B.bin      how many differ, and by how many ulp
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "refhost/host/Drivers.h"
#include "refhost/host/Host.h"
#include "refhost/host/Module.h"

using namespace refhost;

namespace {

constexpr int kComponents = 1000000;

// A colour component in [0, 1) from a fixed sequence (splitmix64), the same on every system.
double component(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1.0p-53;
}

int write(const std::string& out, const std::string& path) {
    std::string error;
    std::unique_ptr<Module> module = Module::load(path, error);
    if (!module) {
        std::fprintf(stderr, "shader_colours: %s\n", error.c_str());
        return 1;
    }
    const ServerRow* row = module->find(host::kShaderHandlerClass, "VelorastinShader");
    if (!row) {
        std::fprintf(stderr, "shader_colours: %s has no VelorastinShader\n", path.c_str());
        return 1;
    }
    Host hostEmulation;
    hostEmulation.log.enabled = false;
    ShaderDriver driver(*row);
    const host::Instance instance = driver.activate(2) == 0 ? driver.create() : nullptr;
    if (!instance || driver.newTime(instance, 0, 0.0)) {
        std::fprintf(stderr, "shader_colours: no usable VelorastinShader instance\n");
        return 1;
    }
    std::vector<double> results;
    results.reserve(kComponents);
    uint64_t state = 1;
    for (int i = 0; i < kComponents; i += 3) {
        host::SampleAccess record{};
        record.itemId = 0x00010001;
        for (double& c : record.colour) c = component(state);
        driver.table.evaluate(instance, &record);
        for (int k = 0; k < 3 && i + k < kComponents; ++k) results.push_back(record.colour[k]);
    }
    driver.destroy(instance);
    std::FILE* file = std::fopen(out.c_str(), "wb");
    const bool written = file && std::fwrite(results.data(), sizeof(double), results.size(), file) == results.size();
    if (!file || std::fclose(file) != 0 || !written) {
        std::fprintf(stderr, "shader_colours: cannot write %s\n", out.c_str());
        return 1;
    }
    return 0;
}

bool readAll(const std::string& path, std::vector<double>& values) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return false;
    values.assign(kComponents, 0.0);
    const bool read = std::fread(values.data(), sizeof(double), values.size(), file) == values.size();
    std::fclose(file);
    return read;
}

int compare(const std::string& a, const std::string& b) {
    std::vector<double> left, right;
    if (!readAll(a, left) || !readAll(b, right)) {
        std::fprintf(stderr, "shader_colours: cannot read %s and %s (%d doubles each)\n", a.c_str(), b.c_str(),
                     kComponents);
        return 1;
    }
    std::map<int64_t, int> byUlps;
    int differing = 0;
    for (int i = 0; i < kComponents; ++i) {
        int64_t x, y;
        std::memcpy(&x, &left[i], sizeof x);
        std::memcpy(&y, &right[i], sizeof y);
        if (x == y) continue;
        ++differing;
        ++byUlps[x > y ? x - y : y - x];  // both positive: the bit patterns order as the values
    }
    std::printf("colour components: %d, differing: %d (%.4f%%)\n", kComponents, differing,
                100.0 * differing / kComponents);
    for (const auto& [ulps, count] : byUlps) std::printf("  by %lld ulp: %d\n", static_cast<long long>(ulps), count);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string verb = argc > 1 ? argv[1] : "";
    if (verb == "write" && (argc == 3 || argc == 4)) return write(argv[2], argc == 4 ? argv[3] : VELORASTIN_MODULE_PATH);
    if (verb == "compare" && argc == 4) return compare(argv[2], argv[3]);
    std::fprintf(stderr, "usage: shader_colours write OUT.bin [MODULE]\n       shader_colours compare A.bin B.bin\n");
    return 2;
}
