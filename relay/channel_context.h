// What a direction runs by that is not its own: the user's options (its time stamps), whether the
// left mouse button is held anywhere in the program (its worker pauses), and the shutdown's
// refusal (no worker of its starts any more). The relay owns all three and hands each channel
// this view of them, so that a channel needs no whole relay.
#pragma once

#include <atomic>
#include <cstdint>

#include "relay/app_options.h"

struct ChannelContext {
    const AppOptions& options;
    const std::atomic<int32_t>& leftMouseButtonDown;
    const std::atomic<bool>& opensRefused;
};
