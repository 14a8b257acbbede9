// One control of an option panel. Servers that want a panel implement it.
#pragma once

#include <cstdint>

namespace velorastin {

class PanelControl {
public:
    virtual void create() = 0;                                             // builds the host control
    virtual void place(int32_t x, int32_t y, int32_t width, int32_t height) = 0;
    virtual void accept() = 0;                                             // the user accepted the panel
    virtual void notify(int32_t value) = 0;
    virtual int32_t width() = 0;
    virtual int32_t height() = 0;
    virtual ~PanelControl() = default;
};

} // namespace velorastin
