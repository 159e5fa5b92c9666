// Which notification each port-event class other than EV_RXCHAR raises, on every back end.
#pragma once

#include <cstdint>

#include "LinkMessages.h"

/// A port-event class and the notification it raises.
struct LinkEventClass {
    std::uint32_t eventClass;
    unsigned message;
};

/// The event classes other than EV_RXCHAR, in the order the monitor handles them.
inline constexpr LinkEventClass kOtherEventClasses[] = {
    {EV_CTS, WM_LINK_CTS}, {EV_RXFLAG, WM_LINK_RXFLAG}, {EV_BREAK, WM_LINK_BREAK},
    {EV_ERR, WM_LINK_ERR}, {EV_RING, WM_LINK_RING},
};
