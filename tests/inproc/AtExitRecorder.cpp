#include "tests/inproc/AtExitRecorder.h"

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

} // namespace atexit_recorder

extern "C" int __cxa_atexit(void (*destructor)(void*), void* object, void* dso) {
    using namespace atexit_recorder;
    if (!real) real = reinterpret_cast<AtExit>(dlsym(RTLD_NEXT, "__cxa_atexit"));
    if (count < kCapacity) queue[count++] = {destructor, object};
    return real(destructor, object, dso);
}
