// Publishes the SCPI server on the local network as `_scpi-raw._tcp` (and its VXI-11 core
// channel as `_vxi-11._tcp`), so that instrument
// discovery finds it. Avahi's daemon does the announcing; without it (or without Avahi at build
// time) the server says so once and serves on unannounced.
#pragma once

#include <memory>
#include <string>

/// An announcement that lasts as long as this object; the daemon withdraws it when it ends.
class Announcement {
public:
    /// Starts publishing `name` on TCP `port`, and as VXI-11 on `vxi11Port` (0: none); reasons
    /// it cannot go to standard error.
    Announcement(const std::string& name, int port, int vxi11Port);
    ~Announcement();
    Announcement(const Announcement&) = delete;
    Announcement& operator=(const Announcement&) = delete;

    struct State;

private:
    std::unique_ptr<State> m_state;
};
