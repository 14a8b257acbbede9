// A complete module of this interface: a shader that turns every surface grey
// and an image filter that inverts the finished image's colours. It includes
// nothing of this project, so it can be copied and built on its own:
//   g++ -m32 -msse2 -mfpmath=sse -O2 -fPIC -shared -fvisibility=hidden
//       -static-libstdc++ -static-libgcc -Wl,--exclude-libs,ALL -Wl,-z,defs
//       -o example.p example.cpp                                                         (Linux)
//   i686-w64-mingw32-g++ -msse2 -mfpmath=sse -O2 -shared -static
//       -o example.p example.cpp                                                         (Windows)
// then `refhost check --strict example.p`; docs/module-authors.md says why.
#include <xmmintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#ifdef _WIN32
#define EXPORT extern "C" __declspec(dllexport)
#else
#define EXPORT extern "C" __attribute__((visibility("default")))
#endif

// The host's records as the interface lays them out: 32-bit words, and no
// member aligned to more than 4 bytes (MinGW would align a double to 8).
#pragma pack(push, 4)
using Lookup = void* (*)(const char* service, int32_t use);
struct Server {
    const char* className;
    const char* name;
    int32_t (*activate)(int32_t version, Lookup lookup, void* handlerTable, void* unused);
};
struct Descriptor {
    uint32_t sync, version, machine;
    uint32_t (*startup)();
    void (*shutdown)();
    const Server* servers;
};
using Create = void* (*)(void*);
using Destroy = void (*)(void*);
using Copy = int32_t (*)(void* source, void* target);
using Store = int32_t (*)(void*, void* state);
using Describe = const char* (*)(void*);
struct ShaderTable {
    Create create;
    Destroy destroy;
    Copy copy;
    Store load, save;
    const char* (*init)(void*);
    void (*cleanup)(void*);
    const char* (*newTime)(void*, int32_t frame, double time);
    void (*evaluate)(void*, void* sample);
    uint32_t (*flags)(void*);
    Describe describe;  // filled for interface version 2 only
};
struct Monitor {
    void* context;
    int32_t (*begin)(void* context, int32_t total);
    int32_t (*advance)(void* context, int32_t steps);  // nonzero: stop at once
    int32_t (*finish)(void* context);
};
struct Image {
    int32_t width, height;
    uint32_t reserved8[2];
    double time;
    uint32_t reserved24[2];
    const uint8_t* (*row)(int32_t channel, int32_t y);  // channels 32 to 35: red, green, blue, alpha
    void* reserved36;
    int32_t (*setColour)(int32_t x, int32_t y, const uint8_t rgb[3]);
    int32_t (*setAlpha)(int32_t x, int32_t y, uint8_t alpha);
    Monitor* monitor;  // may be null
};
struct FilterTable {
    Create create;
    Destroy destroy;
    Copy copy;
    Store load, save;
    void (*process)(void*, const Image*);
    int32_t (*flags)(void*);
    Describe describe;  // filled for interface version 2 only
};
#pragma pack(pop)
static_assert(sizeof(Descriptor) == 24 && sizeof(ShaderTable) == 44 && sizeof(FilterTable) == 32);
static_assert(offsetof(Image, time) == 16 && offsetof(Image, monitor) == 48 && sizeof(Image) == 52);

namespace {

// What the host's sample record holds at byte 304: the surface colour, which a
// shader may change (a shader may write bytes 280 to 383 of the 400, no others).
constexpr std::size_t kColour = 304;

// Entries shared by both servers. An instance holds nothing but must be an
// allocation of its own; describe's text is a constant, which outlives the call.
void* create(void*) { return std::calloc(1, 1); }
void destroy(void* instance) { std::free(instance); }  // free(nullptr) does nothing
int32_t copy(void*, void*) { return 0; }
int32_t store(void*, void*) { return 0; }

// ---- The shader: grey of the same luminance.
// The host's thread may run with other x87 and SSE settings (precision,
// rounding, flush-to-zero); the results must not follow them, and the host
// gets its own back.
class OwnSettings {
public:
    OwnSettings() : mxcsr_(_mm_getcsr()) {
        const uint16_t own = 0x037F;
        __asm__ __volatile__("fnstcw %0\n\tfldcw %1" : "=m"(x87_) : "m"(own) : "memory");
        _mm_setcsr(0x1F80);
    }
    ~OwnSettings() {
        __asm__ __volatile__("fldcw %0" : : "m"(x87_) : "memory");
        _mm_setcsr(mxcsr_);
    }

private:
    uint32_t mxcsr_;
    uint16_t x87_ = 0;
};

void evaluate(void*, void* sample) {
    const OwnSettings settings;
    double* colour = reinterpret_cast<double*>(static_cast<char*>(sample) + kColour);
    const double grey = 0.2126 * colour[0] + 0.7152 * colour[1] + 0.0722 * colour[2];
    colour[0] = colour[1] = colour[2] = grey;
}
const char* noError(void*) { return nullptr; }
const char* newTime(void*, int32_t, double) { return nullptr; }
void cleanup(void*) {}
uint32_t shaderFlags(void*) { return 2; }
const char* describeShader(void*) { return "Example grey"; }

int32_t activateShader(int32_t version, Lookup, void* table, void*) {
    if (version != 1 && version != 2) return 1;  // unsupported: leave the table alone
    auto* t = static_cast<ShaderTable*>(table);
    *t = {create, destroy, copy, store, store, noError, cleanup, newTime, evaluate, shaderFlags,
          version == 2 ? describeShader : t->describe};  // version 1 has no describe slot
    return 0;
}

// ---- The filter: every colour byte inverted, alpha passed through, one
// advance a row, stopping at once when the host answers nonzero.
void process(void*, const Image* image) {
    if (image->width <= 0 || image->height <= 0) return;
    Monitor* monitor = image->monitor;
    if (monitor) monitor->begin(monitor->context, image->height);
    for (int32_t y = 0; y < image->height; ++y) {
        const uint8_t* red = image->row(32, y);
        const uint8_t* green = image->row(33, y);
        const uint8_t* blue = image->row(34, y);
        const uint8_t* alpha = image->row(35, y);
        for (int32_t x = 0; x < image->width; ++x) {
            const uint8_t rgb[3] = {uint8_t(255 - red[x]), uint8_t(255 - green[x]), uint8_t(255 - blue[x])};
            image->setColour(x, y, rgb);
            image->setAlpha(x, y, alpha[x]);
        }
        if (monitor && monitor->advance(monitor->context, 1) != 0) return;  // stopped: no finish
    }
    if (monitor) monitor->finish(monitor->context);
}
int32_t filterFlags(void*) { return 0; }
const char* describeFilter(void*) { return "Example invert"; }

int32_t activateFilter(int32_t version, Lookup, void* table, void*) {
    if (version != 1 && version != 2) return 1;
    auto* t = static_cast<FilterTable*>(table);
    *t = {create, destroy, copy, store, store, process, filterFlags, version == 2 ? describeFilter : t->describe};
    return 0;
}

// ---- The server table, ended by a row of nulls, and the one export.
const Server kServers[] = {
    {"ShaderHandler", "ExampleGrey", activateShader},
    {"ImageFilterHandler", "ExampleInvert", activateFilter},
    {nullptr, nullptr, nullptr},
};
uint32_t startup() { return 4; }
void shutdown() {}

} // namespace

EXPORT const Descriptor _mod_descrip = {0x04121994u, 2, 0x300, startup, shutdown, kServers};
