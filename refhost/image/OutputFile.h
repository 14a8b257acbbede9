// Files refhost writes: whole or not there. Every output goes through a
// temporary file in the same folder; each write, the sync to the disk and the
// close are checked, and only then is the temporary file renamed over the
// output. On any failure the temporary file is removed and an existing file
// at the output's name stays as it was.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace refhost {

// Whether a file can be created at `path` (its folder exists and is writable,
// and `path` is not a folder). False with a message in `error` otherwise.
bool checkWritable(const std::string& path, std::string& error);

// Writes `bytes` to `path` as described above. False with "PATH: cannot write
// WHAT: REASON" in `error`, REASON being the system's ("No space left on device").
bool writeFileAtomically(const std::string& path, const std::string& what, std::span<const uint8_t> bytes,
                         std::string& error);
inline bool writeFileAtomically(const std::string& path, const std::string& what, const std::string& text,
                                std::string& error) {
    return writeFileAtomically(path, what, {reinterpret_cast<const uint8_t*>(text.data()), text.size()}, error);
}

// Whether standard output took everything written to it so far: flushes it,
// and on failure says why on standard error (unless the reader went away).
bool standardOutputWritten();

} // namespace refhost
