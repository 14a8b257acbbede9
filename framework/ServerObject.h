// Root of the server class tree. The host sees an instance only as an opaque
// pointer; the adaptors turn its handler-table calls into these operations.
#pragma once

#include <cstddef>

#include "host/HandlerTables.h"

namespace velorastin {

using ErrorText = host::ErrorText;  // constant message text; null means success

inline constexpr std::size_t kDescriptionSize = 64;

class ServerObject {
public:
    ServerObject();
    ServerObject(const ServerObject&) = delete;
    ServerObject& operator=(const ServerObject&) = delete;
    virtual ~ServerObject();

    // Acquires "Info Messages".
    virtual ErrorText init();
    // Takes the other instance's description text and name pointer.
    virtual void copyFrom(const ServerObject& other);

    char description[kDescriptionSize];  // terminated, at most 63 characters
    const char* serverName;              // constant text of the module, never owned
};

// Copies a text of at most kDescriptionSize - 1 characters and its terminator.
void copyDescription(char (&target)[kDescriptionSize], const char* text);

} // namespace velorastin
