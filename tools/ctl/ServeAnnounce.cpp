#include "ServeAnnounce.h"

#include <cstdint>
#include <cstdio>
#include <utility>

#ifdef VARNEL_WITH_AVAHI
#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#endif

#ifdef VARNEL_WITH_AVAHI

// Everything below runs on Avahi's own poll thread, apart from the start and the end.
struct Announcement::State {
    std::string name;
    std::vector<AnnouncedService> services;
    AvahiThreadedPoll* poll = nullptr;
    AvahiClient* client = nullptr;
    AvahiEntryGroup* group = nullptr;
};

namespace {

void Publish(Announcement::State& state, AvahiClient* client);

void OnGroup(AvahiEntryGroup* group, AvahiEntryGroupState groupState, void* data) {
    auto& state = *static_cast<Announcement::State*>(data);
    if (groupState == AVAHI_ENTRY_GROUP_ESTABLISHED) {
        std::string types;
        for (const AnnouncedService& service : state.services) {
            types += (types.empty() ? "" : ", ") + service.type;
        }
        std::fprintf(stderr, "varnel-ctl: announced as \"%s\" (%s)\n", state.name.c_str(),
                     types.c_str());
    } else if (groupState == AVAHI_ENTRY_GROUP_COLLISION) {
        // Another instrument has the name: take the next one Avahi suggests ("name #2").
        char* other = avahi_alternative_service_name(state.name.c_str());
        state.name = other;
        avahi_free(other);
        avahi_entry_group_reset(group);
        Publish(state, avahi_entry_group_get_client(group));
    } else if (groupState == AVAHI_ENTRY_GROUP_FAILURE) {
        std::fprintf(stderr, "varnel-ctl: not announced: %s\n",
                     avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
    }
}

void Publish(Announcement::State& state, AvahiClient* client) {
    if (state.group == nullptr) {
        state.group = avahi_entry_group_new(client, OnGroup, &state);
    }
    // IPv4 only: the server listens on IPv4.
    const auto add = [&state](const AnnouncedService& service) {
        return avahi_entry_group_add_service(
                   state.group, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, AvahiPublishFlags{},
                   state.name.c_str(), service.type.c_str(), nullptr, nullptr,
                   static_cast<std::uint16_t>(service.port),
                   service.txt.empty() ? nullptr : service.txt.c_str(), nullptr) >= 0;
    };
    bool added = state.group != nullptr;
    for (const AnnouncedService& service : state.services) {
        added = added && add(service);
    }
    if (!added || avahi_entry_group_commit(state.group) < 0) {
        std::fprintf(stderr, "varnel-ctl: not announced: %s\n",
                     avahi_strerror(avahi_client_errno(client)));
    }
}

void OnClient(AvahiClient* client, AvahiClientState clientState, void* data) {
    auto& state = *static_cast<Announcement::State*>(data);
    if (clientState == AVAHI_CLIENT_S_RUNNING) {
        Publish(state, client);
    } else if (clientState == AVAHI_CLIENT_S_COLLISION ||
               clientState == AVAHI_CLIENT_S_REGISTERING) {
        // The host's own name is being settled: publish again once it runs.
        if (state.group != nullptr) {
            avahi_entry_group_reset(state.group);
        }
    } else if (clientState == AVAHI_CLIENT_FAILURE) {
        std::fprintf(stderr, "varnel-ctl: not announced any more: %s\n",
                     avahi_strerror(avahi_client_errno(client)));
    }
}

}  // namespace

Announcement::Announcement(const std::string& name, std::vector<AnnouncedService> services)
    : m_state(std::make_unique<State>()) {
    m_state->name = name;
    m_state->services = std::move(services);
    m_state->poll = avahi_threaded_poll_new();
    int error = 0;
    // Created before the thread starts: its first callbacks run here, on this thread.
    if (m_state->poll != nullptr) {
        m_state->client = avahi_client_new(avahi_threaded_poll_get(m_state->poll),
                                           AvahiClientFlags{}, OnClient, m_state.get(), &error);
    }
    if (m_state->client == nullptr) {
        std::fprintf(stderr, "varnel-ctl: not announced: %s\n",
                     m_state->poll != nullptr ? avahi_strerror(error) : "out of memory");
        return;
    }
    avahi_threaded_poll_start(m_state->poll);
}

Announcement::~Announcement() {
    if (m_state->poll != nullptr) {
        avahi_threaded_poll_stop(m_state->poll);
    }
    if (m_state->client != nullptr) {
        avahi_client_free(m_state->client);  // frees the group: the daemon withdraws it
    }
    if (m_state->poll != nullptr) {
        avahi_threaded_poll_free(m_state->poll);
    }
}

#else

struct Announcement::State {};

Announcement::Announcement(const std::string& /*name*/,
                           std::vector<AnnouncedService> /*services*/) {
    std::fprintf(stderr,
                 "varnel-ctl: not announced: this varnel-ctl was built without Avahi "
                 "(libavahi-client-dev)\n");
}

Announcement::~Announcement() = default;

#endif
