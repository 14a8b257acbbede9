#include "panels/OptionPanel.h"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "panels/InterfaceActivation.h"
#include "panels/PanelControl.h"

namespace velorastin {

namespace {
constexpr int32_t kPanelMarginWidth = 16;
constexpr int32_t kPanelMarginHeight = 40;
} // namespace

OptionPanel::OptionPanel() = default;

OptionPanel::~OptionPanel() {
    if (attachedService) attachedService->release();
    while (lastIndex >= 0) {
        PanelControl* control = controls[lastIndex];
        --lastIndex;
        delete control;
    }
    std::free(controls);
}

void OptionPanel::addControl(PanelControl* control) {
    if (lastIndex + 1 >= capacity) {
        const int32_t grown = capacity ? capacity * 2 : 4;
        auto* larger = static_cast<PanelControl**>(std::realloc(controls, sizeof(PanelControl*) * grown));
        if (!larger) {
            // Only when memory runs out, which no test provokes.
            delete control;
            throw std::bad_alloc();
        }
        controls = larger;
        capacity = grown;
    }
    controls[++lastIndex] = control;
}

void OptionPanel::configure(int32_t panelWidth, int32_t panelHeight, void* panelTitle) {
    width = panelWidth;
    height = panelHeight;
    title = panelTitle;
}

int32_t OptionPanel::notifyAll(intptr_t, int32_t value) {
    for (int32_t i = 0; i <= lastIndex; ++i) controls[i]->notify(value);
    return controlCount();
}

void OptionPanel::refreshControls() { notifyAll(0, 3); }

int32_t OptionPanel::open() {
    // A panel that was never given the host's panel service cannot be shown.
    if (!panelService) return 2;
    panelHandle = panelService->create(title, panelService);
    if (!panelHandle) return 2;
    for (int32_t i = 0; i <= lastIndex; ++i) controls[i]->create();
    scratchValue = width;
    panelService->set(panelHandle, host::kPanelWidthTag, &scratchValue);
    scratchValue = height;
    panelService->set(panelHandle, host::kPanelHeightTag, &scratchValue);
    panelService->set(panelHandle, host::kPanelCallbackTag, reinterpret_cast<void*>(&panelCallback));
    if (panelService->run(panelHandle, host::kPanelRunMode)) {
        for (int32_t i = 0; i <= lastIndex; ++i) controls[i]->accept();
    }
    panelService->release(panelHandle);
    return 0;
}

void OptionPanel::layout() {
    // Every control is asked its width, then every control its height, then
    // each its height again as it is placed.
    int32_t widest = 0;
    for (int32_t i = 0; i <= lastIndex; ++i) widest = std::max(widest, controls[i]->width());
    int32_t stacked = 0;
    for (int32_t i = 0; i <= lastIndex; ++i) stacked += controls[i]->height();
    width = widest + kPanelMarginWidth;
    height = stacked + kPanelMarginHeight;
    int32_t y = 0;
    for (int32_t i = 0; i <= lastIndex; ++i) {
        const int32_t h = controls[i]->height();
        controls[i]->place(0, y, width, h);
        y += h;
    }
}

} // namespace velorastin
