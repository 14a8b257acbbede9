// A server's option panel: a stack of controls in a host panel.
#pragma once

#include <cstdint>

#include "host/PanelService.h"
#include "host/ServiceRecords.h"

namespace velorastin {

class PanelControl;

class OptionPanel {
public:
    OptionPanel();
    OptionPanel(const OptionPanel&) = delete;
    OptionPanel& operator=(const OptionPanel&) = delete;
    // Releases the attached service, then destroys the controls last first.
    // Virtual so that a server's own panel class is destroyed whole.
    virtual ~OptionPanel();

    virtual void configure(int32_t panelWidth, int32_t panelHeight, void* panelTitle);
    // Delivers `value` to every control; returns the control count.
    virtual int32_t notifyAll(intptr_t ignored, int32_t value);
    virtual void refreshControls();
    // 0 when the panel ran, 2 when the service made no panel.
    virtual int32_t open();
    // Sizes the panel to its controls and stacks them from y = 0.
    virtual void layout();

    // Takes ownership of `control` and puts it last.
    void addControl(PanelControl* control);
    int32_t controlCount() const { return lastIndex + 1; }

    int32_t width = 0;
    int32_t height = 0;
    void* title = nullptr;
    host::PanelHandle panelHandle = nullptr;
    PanelControl** controls = nullptr;  // owned, entries 0 .. lastIndex
    int32_t lastIndex = -1;
    host::PanelService* panelService = nullptr;          // not owned
    host::ReleasableService* attachedService = nullptr;  // not owned; released at destruction

private:
    int32_t capacity = 0;
};

} // namespace velorastin
