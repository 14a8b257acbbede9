// The Windows build of the module, used as a host on Windows uses it: loaded
// with LoadLibrary, found through its exported descriptor, its image filter
// bound and run over every byte value under several floating-point settings,
// and loaded and unloaded many times.
//   windows_module_tests CASE    runs one case (one process per case, as CTest
//                                runs them); exit status 0 when every check held
#include <windows.h>
#include <malloc.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "framework/FloatingPoint.h"
#include "host/HandlerTables.h"
#include "host/ModuleRecords.h"
#include "host/ServiceRecords.h"
#include "tests/inproc/DisplayEncoding.h"

namespace {

int failures = 0;

// Reports a check that did not hold; returns `ok`.
bool check(bool ok, const std::string& what) {
    if (!ok) {
        ++failures;
        std::printf("FAILED: %s\n", what.c_str());
    }
    return ok;
}

std::string str(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// pluginServer.p lies beside this program, as in the build tree's bin/.
std::string modulePath() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, length);
    return folder.substr(0, folder.find_last_of("\\/") + 1) + "pluginServer.p";
}

// The loaded module; unloaded when it goes.
class LoadedModule {
public:
    LoadedModule() : handle_(LoadLibraryA(modulePath().c_str())) {}
    ~LoadedModule() {
        if (handle_) FreeLibrary(handle_);
    }
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    HMODULE handle() const { return handle_; }
    const host::ModuleDescriptor* descriptor() const {
        return handle_ ? reinterpret_cast<const host::ModuleDescriptor*>(GetProcAddress(handle_, "_mod_descrip"))
                       : nullptr;
    }
    // Unloads now; true when Windows let the module go.
    bool unload() {
        const bool freed = FreeLibrary(handle_) != 0;
        handle_ = nullptr;
        return freed;
    }

private:
    HMODULE handle_;
};

// ---- The host's services, as stubs: no items, no lights, no render memory ----

struct ServiceCalls {
    int ambient = 0;
    double ambientTime = -1.0;
} calls;

host::ItemId itemFirst(int32_t, host::ItemId) { return 0; }
host::ItemId itemNext(host::ItemId) { return 0; }
int32_t itemParam(host::ItemId, int32_t, double, double out[3]) {
    out[0] = out[1] = out[2] = 0.0;
    return 0;
}
int32_t lightAmbient(double time, double colour[3]) {
    ++calls.ambient;
    calls.ambientTime = time;
    colour[0] = colour[1] = colour[2] = 0.0;
    return 1;
}
int32_t lightKind(host::ItemId) { return -1; }
int32_t lightShadowKind(host::ItemId) { return 0; }
double cameraZoom(host::ItemId, double) { return 1.0; }
void* memoryFind(const char*) { return nullptr; }
void* memoryCreate(const char*, int32_t) { return nullptr; }

host::SceneInfo sceneInfo{};
host::ItemInfo itemInfo{};
host::LightInfo lightInfo{};
host::CameraInfo cameraInfo{};
host::RenderMemory renderMemory{};
std::array<void*, 32> opaqueService{};  // services the module only holds on to

void* lookup(const char* name, int32_t) {
    const std::string n = name ? name : "";
    if (n == host::kSceneInfoService) return &sceneInfo;
    if (n == host::kItemInfoService) return &itemInfo;
    if (n == host::kLightInfoService) return &lightInfo;
    if (n == host::kCameraInfoService) return &cameraInfo;
    if (n == host::kRenderMemoryService) return &renderMemory;
    if (n == host::kInfoMessagesService || n == host::kObjectInfoService || n == host::kGlobalMemoryService)
        return opaqueService.data();
    return nullptr;
}

void setUpServices() {
    sceneInfo.frameWidth = 256;
    sceneInfo.frameHeight = 1;
    sceneInfo.pixelAspect = 1.0;
    itemInfo.first = itemFirst;
    itemInfo.next = itemNext;
    itemInfo.param = itemParam;
    lightInfo.ambient = lightAmbient;
    lightInfo.kind = lightKind;
    lightInfo.shadowKind = lightShadowKind;
    cameraInfo.zoom = cameraZoom;
    renderMemory.find = memoryFind;
    renderMemory.create = memoryCreate;
}

// ---- A 256 x 1 image in which every channel holds every byte value ----

constexpr int32_t kWidth = 256;

struct Image {
    std::array<std::array<uint8_t, kWidth>, 4> planes;  // red, green, blue, alpha
    std::array<std::array<uint8_t, kWidth>, 4> output;
    std::array<int, kWidth> colourWrites{}, alphaWrites{};
    int begun = -1, advanced = 0, finished = 0;
} image;

const uint8_t* imageRow(int32_t channel, int32_t row) {
    const int32_t index = channel - host::kChannelRed;
    return row == 0 && index >= 0 && index < 4 ? image.planes[index].data() : nullptr;
}
int32_t imageSetColour(int32_t column, int32_t row, const uint8_t rgb[3]) {
    if (row != 0 || column < 0 || column >= kWidth) return 0;
    for (int c = 0; c < 3; ++c) image.output[c][column] = rgb[c];
    ++image.colourWrites[column];
    return 1;
}
int32_t imageSetAlpha(int32_t column, int32_t row, uint8_t alpha) {
    if (row != 0 || column < 0 || column >= kWidth) return 0;
    image.output[3][column] = alpha;
    ++image.alphaWrites[column];
    return 1;
}
int32_t monitorBegin(void*, int32_t total) {
    image.begun = total;
    return 0;
}
int32_t monitorAdvance(void*, int32_t amount) {
    image.advanced += amount;
    return 0;
}
int32_t monitorFinish(void*) {
    ++image.finished;
    return 0;
}

// Bytes the C runtime's heap, which the module shares with this program, has handed out.
std::size_t heapInUse() {
    _HEAPINFO entry{};
    std::size_t used = 0;
    int status;
    while ((status = _heapwalk(&entry)) == _HEAPOK) {
        if (entry._useflag == _USEDENTRY) used += entry._size;
    }
    check(status == _HEAPEND, "the heap walk stopped early, status " + std::to_string(status));
    return used;
}

void descriptorAndServerRows() {
    LoadedModule module;
    if (!check(module.handle(), modulePath() + ": LoadLibrary failed, error " + std::to_string(GetLastError())))
        return;
    const host::ModuleDescriptor* descriptor = module.descriptor();
    if (!check(descriptor, "no _mod_descrip")) return;
    check(descriptor->sync == host::kModuleSync, "sync word " + std::to_string(descriptor->sync));
    check(descriptor->version == host::kModuleVersion, "version " + std::to_string(descriptor->version));
    check(descriptor->machine == host::kModuleMachine, "machine word " + std::to_string(descriptor->machine));
    if (!check(descriptor->startup && descriptor->shutdown && descriptor->servers, "a descriptor pointer is null"))
        return;
    const uint32_t word = descriptor->startup();
    check(word == 4, "startup returned " + std::to_string(word));

    struct Row {
        const char* className;
        const char* serverName;
    };
    const Row expected[] = {{"ShaderHandler", "VelorastinShader"}, {"ImageFilterHandler", "VelorastinFilter"}};
    const host::ServerRecord* rows = descriptor->servers;
    for (int i = 0; i < 2; ++i) {
        const std::string at = "row " + std::to_string(i) + ": ";
        if (!check(rows[i].className && rows[i].serverName && rows[i].activate, at + "a null word")) continue;
        check(std::strcmp(rows[i].className, expected[i].className) == 0, at + "class " + rows[i].className);
        check(std::strcmp(rows[i].serverName, expected[i].serverName) == 0, at + "server " + rows[i].serverName);
    }
    check(!rows[2].className && !rows[2].serverName && !rows[2].activate, "row 2 is not the ending row");
    descriptor->shutdown();
}

void filterEncodesEveryByte() {
    setUpServices();
    for (int v = 0; v < kWidth; ++v) {
        image.planes[0][v] = static_cast<uint8_t>(v);
        image.planes[1][v] = static_cast<uint8_t>(255 - v);
        image.planes[2][v] = static_cast<uint8_t>(v * 7);
        image.planes[3][v] = static_cast<uint8_t>(v + 128);
    }
    LoadedModule module;
    const host::ModuleDescriptor* descriptor = module.descriptor();
    if (!check(descriptor, modulePath() + ": not loaded, error " + std::to_string(GetLastError()))) return;
    descriptor->startup();
    const host::ServerRecord& row = descriptor->servers[1];
    if (!check(row.serverName && std::strcmp(row.serverName, "VelorastinFilter") == 0, "row 1 is not the filter"))
        return;

    host::ImageFilterHandler handler{};
    const int32_t bound = row.activate(2, lookup, &handler, nullptr);
    if (!check(bound == 0, "activation returned " + std::to_string(bound))) return;
    if (!check(handler.create && handler.destroy && handler.copy && handler.load && handler.save &&
                   handler.process && handler.flags && handler.describe,
               "an entry is empty after activation"))
        return;
    host::Instance instance = handler.create(nullptr);
    if (!check(instance, "create returned null")) return;

    host::ProgressMonitor monitor{nullptr, monitorBegin, monitorAdvance, monitorFinish};
    host::ImageAccess access{};
    access.width = kWidth;
    access.height = 1;
    access.time = 1.5;
    access.row = imageRow;
    access.setColour = imageSetColour;
    access.setAlpha = imageSetAlpha;
    access.monitor = &monitor;

    // The host thread's floating-point settings, as this program starts and as
    // a host may have them: MinGW's pow runs on the x87 unit, and so follows
    // its precision and rounding. The bytes must not change, and the host
    // must get its settings back.
    struct HostSettings {
        const char* name;
        uint16_t x87;
        uint32_t mxcsr;
    };
    const uint16_t startX87 = host::x87ControlWord();
    const uint32_t startMxcsr = _mm_getcsr();
    const HostSettings settings[] = {
        {"the program's own", startX87, startMxcsr},
        {"x87 at 24-bit precision", 0x007F, host::kDefaultMxcsr},
        {"x87 at 53-bit precision", 0x027F, host::kDefaultMxcsr},
        {"rounding toward zero (x87 and SSE)", 0x0F7F, 0x7F80},
        {"flush-to-zero and denormals-are-zero", host::kDefaultX87Control, 0x9FC0},
    };
    for (const HostSettings& host : settings) {
        const std::string under = std::string(" under ") + host.name;
        image.output = {};
        image.colourWrites = {};
        image.alphaWrites = {};
        image.begun = -1;
        image.advanced = image.finished = 0;
        host::setX87ControlWord(host.x87);
        _mm_setcsr(host.mxcsr);
        handler.process(instance, &access);
        const uint16_t x87 = host::x87ControlWord();
        const uint32_t mxcsr = _mm_getcsr();
        host::setX87ControlWord(startX87);
        _mm_setcsr(startMxcsr);
        check(x87 == host.x87, "x87 control word " + std::to_string(x87) + " after process" + under);
        check((mxcsr & ~host::kMxcsrExceptionFlags) == host.mxcsr,
              "MXCSR " + std::to_string(mxcsr) + " after process" + under);

        // Colour channels display-encoded, alpha passed through, each pixel set once.
        for (int x = 0; x < kWidth; ++x) {
            for (int c = 0; c < 4; ++c) {
                const uint8_t in = image.planes[c][x];
                const uint8_t want = c == 3 ? in : testing_support::kDisplayEncoded[in];
                check(image.output[c][x] == want, "column " + std::to_string(x) + " channel " + std::to_string(c) +
                                                      ": " + std::to_string(in) + " gave " +
                                                      std::to_string(image.output[c][x]) + ", not " +
                                                      std::to_string(want) + under);
            }
            check(image.colourWrites[x] == 1 && image.alphaWrites[x] == 1,
                  "column " + std::to_string(x) + " set " + std::to_string(image.colourWrites[x]) + " and " +
                      std::to_string(image.alphaWrites[x]) + " times" + under);
        }
        check(image.begun == 1 && image.advanced == 1 && image.finished == 1,
              "progress: begin " + std::to_string(image.begun) + ", advanced " + std::to_string(image.advanced) +
                  ", finished " + std::to_string(image.finished) + " times" + under);
    }
    handler.destroy(instance);
    descriptor->shutdown();
    check(calls.ambient > 0, "the filter reached none of the host's services");
    check(calls.ambientTime == 1.5, "the ambient light was asked for at time " + str(calls.ambientTime));
}

// Every load builds the module's objects anew and every unload destroys them
// and gives back what they took from the shared C heap.
void loadsAndUnloadsRepeatedly() {
    constexpr int kWarmUp = 10, kCycles = 2000;
    std::size_t before = 0;
    for (int i = 0; i < kWarmUp + kCycles; ++i) {
        if (i == kWarmUp) before = heapInUse();
        const std::string at = "load " + std::to_string(i) + ": ";
        LoadedModule module;
        const host::ModuleDescriptor* descriptor = module.descriptor();
        if (!check(descriptor, at + "not loaded, error " + std::to_string(GetLastError()))) return;
        if (!check(descriptor->startup() == 4, at + "startup")) return;
        const host::ServerRecord* rows = descriptor->servers;
        if (!check(rows[0].activate && rows[1].activate && !rows[2].className, at + "not two rows")) return;
        descriptor->shutdown();
        if (!check(module.unload(), at + "FreeLibrary failed")) return;
        if (!check(!GetModuleHandleA(modulePath().c_str()), at + "still loaded after FreeLibrary")) return;
    }
    const std::size_t after = heapInUse();
    check(after <= before, "the C heap grew by " + std::to_string(after - before) + " bytes over " +
                               std::to_string(kCycles) + " loads");
}

} // namespace

int main(int argc, char** argv) {
    struct Case {
        const char* name;
        void (*run)();
    };
    const Case cases[] = {
        {"descriptor", descriptorAndServerRows},
        {"filter", filterEncodesEveryByte},
        {"reload", loadsAndUnloadsRepeatedly},
    };
    for (const Case& c : cases) {
        if (argc == 2 && std::strcmp(argv[1], c.name) == 0) {
            c.run();
            std::printf("%s: %s\n", c.name, failures ? "FAILED" : "passed");
            return failures ? 1 : 0;
        }
    }
    std::printf("usage: windows_module_tests descriptor|filter|reload\n");
    return 2;
}
