// The panel's one state record and its window timers.
#pragma once

#include <array>
#include <cstdint>

#include "ModuleQuantity.h"

/// Window timer ids of the panel.
enum TimerId : unsigned {
    TIMER_TRACK = 1,          ///< 500 ms slider tracking
    TIMER_CH_DOWN = 2,        ///< 200 ms channel-down hold
    TIMER_CH_UP = 3,          ///< 200 ms channel-up hold
    TIMER_PW_DOWN = 4,        ///< 200 ms power-down hold
    TIMER_PW_UP = 5,          ///< 200 ms power-up hold
    TIMER_QUERY_CHANNEL = 6,  ///< 200 ms channel query while synchronising
    TIMER_QUERY_POWER = 7,    ///< 200 ms power query while synchronising
    TIMER_QUERY_OUTPUT = 8,   ///< 200 ms output query while synchronising
};

inline constexpr unsigned kTrackPeriodMs = 500;
inline constexpr unsigned kStepPeriodMs = 200;
inline constexpr unsigned kQueryPeriodMs = 200;

/// Everything the panel's handlers share. Only the window's thread touches it.
struct ControllerState {
    std::int32_t currentChannel = kChannelMin;  ///< last channel sent or reported
    std::int32_t currentPower = kPowerMin;  ///< last power sent or reported, hundredths of a dBm
    bool portOpen = false;                  ///< a port is open and its monitor thread runs
    bool outputOn = false;                  ///< output state as last toggled or reported
    std::uint8_t selectedPort = 0;          ///< COM number last opened from the list; 0 = none
    bool synced = false;                    ///< the start-up synchronisation has completed
    std::array<std::uint8_t, 254> portTable{};  ///< COM number of each port-list entry
    std::uint8_t portCount = 0;                 ///< entries in the port list and portTable
    std::uint8_t holdCount = 0;  ///< step-timer ticks of the current hold, at most 249
};
