// The host's panel service: the functions through which an option panel is
// created, set up, run and released.
#pragma once

#include <cstddef>
#include <cstdint>

namespace host {

// Members of the host records align to at most 4 bytes, as in the 32-bit
// interface, so a double does not pad a record to a multiple of 8 on Windows.
#pragma pack(push, 4)

using PanelHandle = void*;  // null: no panel

// Attribute tags for PanelService::set.
inline constexpr int32_t kPanelWidthTag = 2;     // value: address of an int32 width
inline constexpr int32_t kPanelHeightTag = 3;    // value: address of an int32 height
inline constexpr int32_t kPanelCallbackTag = 7;  // value: a PanelCallback
inline constexpr int32_t kPanelRunMode = 7;

// The host calls this while the panel runs.
using PanelCallback = int32_t (*)(intptr_t first, intptr_t second, int32_t third);

struct PanelService {
    PanelHandle (*create)(void* title, PanelService* self);
    int32_t (*release)(PanelHandle);
    int32_t (*run)(PanelHandle, int32_t mode);  // non-zero: the user accepted
    void* hostReserved12[4];
    int32_t (*set)(PanelHandle, int32_t tag, void* value);
};
static_assert(sizeof(PanelService) == 32);
static_assert(offsetof(PanelService, create) == 0);
static_assert(offsetof(PanelService, release) == 4);
static_assert(offsetof(PanelService, run) == 8);
static_assert(offsetof(PanelService, set) == 28);

#pragma pack(pop)

} // namespace host
