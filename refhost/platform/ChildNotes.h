// What a check's child leaves for its parent in memory they share, so that it
// survives the child's crash: its last stage note and where a fault hit. The
// same on every system; each implementation shares the memory its own way.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "refhost/platform/FaultText.h"

namespace refhost::platform {

struct ChildNotes {
    char text[256];
    char fault[512];

    void clear() { text[0] = fault[0] = '\0'; }

    // What the parent reads once the child has ended, however it ended.
    void read(std::string& lastNote, std::string& lastFault) {
        text[sizeof text - 1] = fault[sizeof fault - 1] = '\0';
        lastNote = text;
        lastFault = fault;
    }

    // A note too long for the buffer is cut before a character, not inside
    // one, so that a cut name still reads as UTF-8.
    void note(const std::string& what) {
        std::size_t size = std::min(what.size(), sizeof text - 1);
        if (size < what.size())
            while (size > 0 && (static_cast<unsigned char>(what[size]) & 0xC0) == 0x80) --size;
        std::memcpy(text, what.data(), size);
        text[size] = '\0';
    }

    // From a fault handler, so without allocating: what `describe` says of
    // the address, or "at address 0x0000abcd"; then `location`, the code the
    // fault hit in (" in name.p+0x1a3b"), after a comma when `describe` spoke.
    void noteFault(const void* address, const char* location, bool (*describe)(const void*, char*, std::size_t)) {
        const bool described = describe && describe(address, fault, sizeof fault);
        if (!described) FaultText(fault, sizeof fault).put("at address ").hex(reinterpret_cast<uintptr_t>(address), 8);
        FaultText(fault, sizeof fault, true).put(described ? "," : "").put(location);
    }
};

} // namespace refhost::platform
