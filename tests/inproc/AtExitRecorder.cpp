#include "tests/inproc/AtExitRecorder.h"

#if defined(_WIN32)

// MinGW's compiler queues a static object's destruction with atexit and a
// function of its own per object, without the object's address.
namespace atexit_recorder {

int queuedCount() { return 0; }
const Queued& queued(int) {
    static constexpr Queued none{};
    return none;
}
const char* notRecordedBecause() {
    return "MinGW queues static destructors with atexit, without the object's address";
}

} // namespace atexit_recorder

#else

#include <dlfcn.h>

namespace atexit_recorder {

namespace {

// Written while the program's static objects are built, so constant-initialised.
constexpr int kCapacity = 1024;
constinit Queued queue[kCapacity]{};
constinit int count = 0;

using AtExit = int (*)(void (*)(void*), void*, void*);
constinit AtExit real = nullptr;

} // namespace

int queuedCount() { return count; }
const Queued& queued(int index) { return queue[index]; }
const char* notRecordedBecause() { return nullptr; }

} // namespace atexit_recorder

extern "C" int __cxa_atexit(void (*destructor)(void*), void* object, void* dso) {
    using namespace atexit_recorder;
    if (!real) real = reinterpret_cast<AtExit>(dlsym(RTLD_NEXT, "__cxa_atexit"));
    if (count < kCapacity) queue[count++] = {destructor, object};
    return real(destructor, object, dso);
}

#endif
