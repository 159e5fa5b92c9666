// Publishes the SCPI server on the local network as `_scpi-raw._tcp` (its VXI-11 core channel
// as `_vxi-11._tcp`, its web page as `_lxi._tcp` and `_http._tcp`), so that instrument
// discovery finds it. Avahi's daemon does the announcing; without it (or without Avahi at build
// time) the server says so once and serves on unannounced.
#pragma once

#include <memory>
#include <string>
#include <vector>

/// One service of the instrument: its DNS-SD type, port and TXT record (empty: none).
struct AnnouncedService {
    std::string type;  ///< such as "_scpi-raw._tcp"
    int port = 0;
    std::string txt;  ///< such as "path=/"
};

/// An announcement that lasts as long as this object; the daemon withdraws it when it ends.
class Announcement {
public:
    /// Starts publishing `services` under `name`; reasons it cannot go to standard error.
    Announcement(const std::string& name, std::vector<AnnouncedService> services);
    ~Announcement();
    Announcement(const Announcement&) = delete;
    Announcement& operator=(const Announcement&) = delete;

    struct State;

private:
    std::unique_ptr<State> m_state;
};
