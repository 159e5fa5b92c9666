// Publishes the SCPI server on the local network as `_scpi-raw._tcp`, so that instrument
// discovery finds it. Avahi's daemon does the announcing; without it (or without Avahi at build
// time) the server says so once and serves on unannounced.
#pragma once

#include <memory>
#include <string>

/// An announcement that lasts as long as this object; the daemon withdraws it when it ends.
class Announcement {
public:
    /// Starts publishing `name` on TCP `port`; reasons it cannot go to standard error.
    Announcement(const std::string& name, int port);
    ~Announcement();
    Announcement(const Announcement&) = delete;
    Announcement& operator=(const Announcement&) = delete;

    struct State;

private:
    std::unique_ptr<State> m_state;
};
