#include "refhost/render/FrameNames.h"

#include <cctype>
#include <cstdio>

#include "refhost/platform/Platform.h"

namespace refhost {

namespace {

bool parseNumber(const std::string& text, int32_t& out) {
    if (text.empty() || text.size() > 9) return false;
    int64_t value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        value = value * 10 + (c - '0');
    }
    if (value > kMaxFrameNumber) return false;
    out = static_cast<int32_t>(value);
    return true;
}

// Where the frame pattern is: its start and length, and its digit count
// (0 for plain "%d"). Returns the count of patterns, or -1 for a bad '%'.
int findPattern(const std::string& output, std::size_t& start, std::size_t& length, int& digits) {
    int found = 0;
    for (std::size_t i = 0; i < output.size(); ++i) {
        if (output[i] != '%') continue;
        if (i + 1 < output.size() && output[i + 1] == '%') {
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        int width = 0;
        if (j < output.size() && output[j] == '0') {
            ++j;
            if (j < output.size() && output[j] >= '1' && output[j] <= '9') width = output[j++] - '0';
            else return -1;
        }
        if (j >= output.size() || output[j] != 'd') return -1;
        start = i;
        length = j + 1 - i;
        digits = width;
        ++found;
        i = j;
    }
    return found;
}

std::string number(int32_t frame, int digits) {
    char text[32];
    std::snprintf(text, sizeof text, "%0*d", digits, static_cast<int>(frame));
    return text;
}

// Replaces "%%" by "%" outside the pattern.
std::string unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == '%') ++i;
    }
    return out;
}

} // namespace

bool parseFrameRange(const std::string& text, int32_t& first, int32_t& last, std::string& error) {
    const std::size_t dash = text.find('-');
    const bool ok = dash == std::string::npos
                        ? parseNumber(text, first) && ((last = first), true)
                        : parseNumber(text.substr(0, dash), first) && parseNumber(text.substr(dash + 1), last);
    if (!ok) {
        error = "\"" + text + "\" is not a frame range: expected FIRST-LAST, frame numbers 0 to " +
                std::to_string(kMaxFrameNumber);
        return false;
    }
    if (last < first) {
        error = "\"" + text + "\": the last frame comes before the first";
        return false;
    }
    if (last - first + 1 > kMaxSequenceFrames) {
        error = "\"" + text + "\": more than " + std::to_string(kMaxSequenceFrames) + " frames";
        return false;
    }
    return true;
}

bool checkOutputPattern(const std::string& output, std::string& error) {
    std::size_t start = 0, length = 0;
    int digits = 0;
    const int found = findPattern(output, start, length, digits);
    if (found < 0 || found > 1) {
        error = output + ": an output name takes one frame number pattern, %d or %0Nd such as %04d "
                         "(%% for a percent sign)";
        return false;
    }
    return true;
}

bool hasFramePattern(const std::string& output) {
    std::size_t start = 0, length = 0;
    int digits = 0;
    return findPattern(output, start, length, digits) == 1;
}

std::string frameFileName(const std::string& output, int32_t frame) {
    std::size_t start = 0, length = 0;
    int digits = 0;
    if (findPattern(output, start, length, digits) == 1)
        return unescape(output.substr(0, start)) + number(frame, digits) + unescape(output.substr(start + length));
    const std::string name = unescape(output);
    const std::size_t slash = platform::lastSeparator(name);
    std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
        dot == (slash == std::string::npos ? 0 : slash + 1))
        dot = name.size();
    return name.substr(0, dot) + "_" + number(frame, 4) + name.substr(dot);
}

std::string singleFrameName(const std::string& output, int32_t frame) {
    return hasFramePattern(output) ? frameFileName(output, frame) : output;
}

} // namespace refhost
