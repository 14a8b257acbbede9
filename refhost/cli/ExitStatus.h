// The exit status of every refhost command.
#pragma once

namespace refhost {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailed = 1;        // the work failed: a check failed, a file could not be read or written
inline constexpr int kExitUsage = 2;         // unknown option, missing argument, value out of range
// Stopped by a request: 128 + the signal, as a shell reports a program the
// signal ended. 130 Ctrl-C, 143 SIGTERM, 129 SIGHUP.
inline constexpr int kExitInterrupted = 130;

} // namespace refhost
