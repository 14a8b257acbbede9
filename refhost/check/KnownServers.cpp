#include "refhost/check/KnownServers.h"

#include "refhost/check/Check.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace refhost::check {

bool knownClass(const std::string& className) {
    return std::any_of(std::begin(kKnownClasses), std::end(kKnownClasses),
                       [&](const char* known) { return className == known; });
}

std::string knownClassList() {
    std::string list;
    for (const char* known : kKnownClasses) list += (list.empty() ? "" : ", ") + std::string(known);
    return list;
}

bool RowFacts::known() const {
    return (isShader() && serverName == kLinearizeShaderName) || (isFilter() && serverName == kDisplayEncodeFilterName);
}

uint8_t displayEncode(uint8_t v) {
    return static_cast<uint8_t>(std::pow(v * 0.00392156862745098, 0.45454545454545453) * 255.0);
}

void linearize(host::SampleAccess& sample) {
    if ((sample.itemId & 0xFFFFu) == 0x7FFFu) return;
    for (double& c : sample.colour) c = std::pow(c, 2.2);
}

} // namespace refhost::check
