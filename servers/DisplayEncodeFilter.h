// "VelorastinFilter": encodes the finished 8-bit image for display, each colour
// byte v becoming the integer part of 255 * (v / 255)^(1 / 2.2); alpha passes.
#pragma once

#include "filter/FilterServer.h"

namespace velorastin {

class DisplayEncodeFilter : public FilterServer {
public:
    static constexpr const char kName[] = "VelorastinFilter";
    static constexpr double kByteScale = 0.00392156862745098;   // 1/255, nearest double
    static constexpr double kExponent = 0.45454545454545453;    // 1/2.2, nearest double
    static constexpr double kOutputScale = 255.0;

    using FilterServer::FilterServer;  // the prototype constructor
    DisplayEncodeFilter();
    ~DisplayEncodeFilter() override;

    void process() override;

    // One colour byte, exactly as process converts it.
    static uint8_t encode(uint8_t value);
};

} // namespace velorastin
