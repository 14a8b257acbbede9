// Records the destructors that static construction queues for unload, in the
// order queued, by standing in for the C++ runtime's __cxa_atexit in the test
// program (every call is passed on to the real one).
#pragma once

namespace atexit_recorder {

struct Queued {
    void (*destructor)(void*);
    void* object;
};

// Everything queued so far, oldest first; unload runs them newest first.
int queuedCount();
const Queued& queued(int index);

// Null where the queue is recorded; otherwise why this build cannot record it.
const char* notRecordedBecause();

} // namespace atexit_recorder
