#include "framework/ServerObject.h"

#include <cstring>

#include "framework/Services.h"

namespace velorastin {

ServerObject::ServerObject() : serverName("unnamed") {
    // No constructor writes a description, but copyFrom reads one: start empty.
    description[0] = '\0';
}

ServerObject::~ServerObject() = default;

ErrorText ServerObject::init() { return acquireInfoMessages(); }

void ServerObject::copyFrom(const ServerObject& other) {
    copyDescription(description, other.description);
    serverName = other.serverName;
}

void copyDescription(char (&target)[kDescriptionSize], const char* text) {
    const std::size_t length = text ? strnlen(text, kDescriptionSize - 1) : 0;
    std::memmove(target, text, length);
    target[length] = '\0';
}

} // namespace velorastin
