// Frame numbers on the command line and in output file names.
#pragma once

#include <cstdint>
#include <string>

namespace refhost {

inline constexpr int32_t kMaxFrameNumber = 999999;
inline constexpr int32_t kMaxSequenceFrames = 100000;

// "A-B" (A <= B, both 0 to kMaxFrameNumber) or a single "N". False with a
// message otherwise.
bool parseFrameRange(const std::string& text, int32_t& first, int32_t& last, std::string& error);

// An output name for frame files: `output` with its one printf-style
// "%d" / "%0Nd" replaced by the frame number, or, without one, "_%04d"
// inserted before the extension ("out.png" gives "out_0007.png"). "%%" stands
// for a percent sign. False with a message for any other use of '%'.
bool checkOutputPattern(const std::string& output, std::string& error);
bool hasFramePattern(const std::string& output);
std::string frameFileName(const std::string& output, int32_t frame);
// One frame's file: the name with its pattern expanded where it has one, else
// the name exactly as given.
std::string singleFrameName(const std::string& output, int32_t frame);

} // namespace refhost
