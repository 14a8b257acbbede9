// Reading a whole input file whose size is checked before anything is read.
#pragma once

#include <cstdint>
#include <string>

namespace refhost {

// Reads the regular file at `path` into `text`. Refuses, with a message
// naming the file, one that is missing, not a file, or larger than
// `maxBytes` ("refhost reads <what> of at most N bytes").
bool readBoundedFile(const std::string& path, int64_t maxBytes, const std::string& what, std::string& text,
                     std::string& error);

} // namespace refhost
