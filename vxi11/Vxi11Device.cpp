#include "Vxi11Device.h"

#include <algorithm>
#include <utility>

namespace vxi11 {

namespace {

constexpr std::uint32_t kMinRecvSize = 1024;
// Message-available in the status byte: the link, not the instrument, holds the answers.
constexpr std::uint8_t kStbMav = 0x10;
// Answers a client never reads are dropped oldest first beyond this many.
constexpr std::size_t kMaxHeldAnswers = 256;

}  // namespace

Device::Device(const DeviceConfig& config, DeviceHost& host) : m_config(config), m_host(host) {
    m_config.maxRecvSize = std::max(m_config.maxRecvSize, kMinRecvSize);
}

Device::~Device() = default;

Device::Link* Device::Find(LinkId lid) {
    const auto it = m_links.find(lid);
    return it == m_links.end() ? nullptr : &it->second;
}

LinkId Device::LockHolder(int instrument) const {
    const auto it = m_lockHolders.find(instrument);
    return it == m_lockHolders.end() ? 0 : it->second;
}

bool Device::Blocked(const Link& link, LinkId lid) const {
    const LinkId holder = LockHolder(link.instrument);
    return holder != 0 && holder != lid;
}

void Device::CreateLink(const CallRef& call, const CreateLinkParms& parms, Millis now) {
    if (m_links.size() >= m_config.maxLinks) {
        m_host.Done(call, CreateLinkResp{ErrorCode::OutOfResources});
        return;
    }
    const std::optional<int> instrument = m_host.FindInstrument(parms.device);
    if (!instrument) {
        m_host.Done(call, CreateLinkResp{ErrorCode::InvalidAddress});
        return;
    }
    while (m_links.count(m_nextLid) != 0 || m_nextLid <= 0) {
        m_nextLid = m_nextLid <= 0 ? 1 : m_nextLid + 1;
    }
    const LinkId lid = m_nextLid++;
    std::unique_ptr<LinkInstrument> view = m_host.OpenLink(*instrument, lid);
    if (!view) {
        m_host.Done(call, CreateLinkResp{ErrorCode::OutOfResources});
        return;
    }
    Link& link = m_links[lid];
    link.connection = call.connection;
    link.instrument = *instrument;
    link.view = std::move(view);
    if (!parms.lockDevice) {
        m_host.Done(call, CreateLinkResp{ErrorCode::NoError, lid, m_config.abortPort,
                                         m_config.maxRecvSize});
        return;
    }
    Waiter waiter{Waiter::Kind::CreateLink, call, lid};
    Start(std::move(waiter), parms.lockTimeout, kFlagWaitLock, now);
}

void Device::Write(const CallRef& call, WriteParms parms, Millis now) {
    Waiter waiter{Waiter::Kind::Write, call, parms.lid};
    const std::uint32_t lockTimeout = parms.lockTimeout;
    const std::int32_t flags = parms.flags;
    waiter.write = std::move(parms);
    Start(std::move(waiter), lockTimeout, flags, now);
}

void Device::Read(const CallRef& call, const ReadParms& parms, Millis now) {
    Waiter waiter{Waiter::Kind::Read, call, parms.lid};
    waiter.read = parms;
    waiter.ioDeadline = now + parms.ioTimeout;
    Start(std::move(waiter), parms.lockTimeout, parms.flags, now);
}

void Device::ReadStb(const CallRef& call, const GenericParms& parms, Millis now) {
    Waiter waiter{Waiter::Kind::ReadStb, call, parms.lid};
    Start(std::move(waiter), parms.lockTimeout, parms.flags, now);
}

void Device::Clear(const CallRef& call, const GenericParms& parms, Millis now) {
    Waiter waiter{Waiter::Kind::Clear, call, parms.lid};
    Start(std::move(waiter), parms.lockTimeout, parms.flags, now);
}

void Device::Lock(const CallRef& call, const LockParms& parms, Millis now) {
    Waiter waiter{Waiter::Kind::Lock, call, parms.lid};
    Start(std::move(waiter), parms.lockTimeout, parms.flags, now);
}

void Device::Start(Waiter waiter, std::uint32_t lockTimeout, std::int32_t flags, Millis now) {
    Link* link = Find(waiter.lid);
    if (link == nullptr) {
        Refuse(waiter, ErrorCode::InvalidLinkIdentifier);
    } else if (!Blocked(*link, waiter.lid)) {
        Run(waiter);
    } else if ((flags & kFlagWaitLock) != 0 && lockTimeout > 0) {
        waiter.deadline = now + lockTimeout;
        m_lockWaiters.push_back(std::move(waiter));
    } else {
        Refuse(waiter, ErrorCode::DeviceLockedByAnotherLink);
    }
}

void Device::Run(Waiter& waiter) {
    Link& link = *Find(waiter.lid);
    switch (waiter.kind) {
        case Waiter::Kind::CreateLink:
            m_lockHolders[link.instrument] = waiter.lid;
            m_host.Done(waiter.call, CreateLinkResp{ErrorCode::NoError, waiter.lid,
                                                    m_config.abortPort, m_config.maxRecvSize});
            break;
        case Waiter::Kind::Lock:
            m_lockHolders[link.instrument] = waiter.lid;
            m_host.Done(waiter.call, ErrorResp{});
            break;
        case Waiter::Kind::Write:
            RunWrite(link, waiter);
            break;
        case Waiter::Kind::Read:
            RunRead(link, std::move(waiter));
            break;
        case Waiter::Kind::ReadStb: {
            const auto held = static_cast<std::uint8_t>(link.output.empty() ? 0 : kStbMav);
            m_host.Done(waiter.call,
                        ReadStbResp{ErrorCode::NoError,
                                    static_cast<std::uint8_t>(link.view->StatusByte() | held)});
            break;
        }
        case Waiter::Kind::Clear:
            link.input.clear();
            link.discarding = false;
            link.output.clear();
            link.outputAt = 0;
            link.view->Clear();
            m_host.Done(waiter.call, ErrorResp{});
            break;
    }
}

void Device::RunWrite(Link& link, const Waiter& waiter) {
    std::string_view rest = waiter.write.data;
    const bool end = (waiter.write.flags & kFlagEnd) != 0;
    ErrorCode error = ErrorCode::NoError;
    const auto deliver = [&link] {
        std::string message;
        message.swap(link.input);
        link.view->Feed(message);
    };
    if (link.discarding) {
        // The dropped message ends at its first LF, or with END.
        const std::size_t lf = rest.find('\n');
        rest.remove_prefix(lf == std::string_view::npos ? rest.size() : lf + 1);
        link.discarding = lf == std::string_view::npos && !end;
    }
    if (!link.discarding) {
        const std::size_t lastLf = rest.rfind('\n');
        if (lastLf != std::string_view::npos) {
            link.input.append(rest.substr(0, lastLf + 1));
            rest.remove_prefix(lastLf + 1);
            deliver();
        }
        if (link.input.size() + rest.size() > m_config.maxMessageBytes) {
            link.input.clear();
            link.discarding = !end;
            error = ErrorCode::OutOfResources;
        } else {
            link.input.append(rest);
            if (end && !link.input.empty()) {
                link.input.push_back('\n');
                deliver();
            }
        }
    }
    m_host.Done(waiter.call,
                WriteResp{error, static_cast<std::uint32_t>(waiter.write.data.size())});
}

bool Device::TakeAnswer(Link& link, const ReadParms& parms, ReadResp& resp) {
    if (link.output.empty()) {
        return false;
    }
    const std::string_view left = std::string_view(link.output.front()).substr(link.outputAt);
    std::size_t take = std::min<std::size_t>(parms.requestSize, left.size());
    resp.error = ErrorCode::NoError;
    resp.reason = 0;
    if ((parms.flags & kFlagTermChrSet) != 0) {
        const std::size_t at = left.substr(0, take).find(parms.termChar);
        if (at != std::string_view::npos) {
            take = at + 1;
            resp.reason |= kReasonChr;
        }
    }
    resp.data.assign(left.substr(0, take));
    link.outputAt += take;
    if (take == left.size()) {
        resp.reason |= kReasonEnd;
        link.output.pop_front();
        link.outputAt = 0;
    } else if (resp.reason == 0) {
        resp.reason = kReasonRequestCount;
    }
    return true;
}

void Device::RunRead(Link& link, Waiter waiter) {
    ReadResp resp;
    if (TakeAnswer(link, waiter.read, resp)) {
        m_host.Done(waiter.call, resp);
    } else if (link.read) {
        // One waiting read per link: a client pipelining a second gets no crossed answer.
        m_host.Done(waiter.call, ReadResp{ErrorCode::OutOfResources});
    } else if (waiter.read.ioTimeout == 0 || !link.view->Waiting()) {
        // An instrument working on nothing has no answer to come (a read without a query):
        // the timeout is certain, so it is not waited out.
        m_host.Done(waiter.call, ReadResp{ErrorCode::IoTimeout});
    } else {
        link.read = std::move(waiter);
    }
}

void Device::Answer(LinkId lid, std::string_view message) {
    Link* link = Find(lid);
    if (link == nullptr) {
        return;
    }
    link->output.emplace_back(message);
    if (link->output.size() > kMaxHeldAnswers) {
        link->output.pop_front();
        link->outputAt = 0;
    }
    if (link->read) {
        Waiter waiter = std::move(*link->read);
        link->read.reset();
        ReadResp resp;
        TakeAnswer(*link, waiter.read, resp);
        m_host.Done(waiter.call, resp);
    }
}

void Device::Unlock(const CallRef& call, LinkId lid) {
    const Link* link = Find(lid);
    if (link == nullptr) {
        m_host.Done(call, ErrorResp{ErrorCode::InvalidLinkIdentifier});
    } else if (LockHolder(link->instrument) != lid) {
        m_host.Done(call, ErrorResp{ErrorCode::NoLockHeldByThisLink});
    } else {
        m_host.Done(call, ErrorResp{});
        Release(link->instrument);
    }
}

void Device::Release(int instrument) {
    m_lockHolders.erase(instrument);
    // Waiters run in arrival order; a lock taken stops the others of that instrument.
    for (;;) {
        const auto it =
            std::find_if(m_lockWaiters.begin(), m_lockWaiters.end(), [this](const Waiter& waiter) {
                const Link* link = Find(waiter.lid);
                return link != nullptr && !Blocked(*link, waiter.lid);
            });
        if (it == m_lockWaiters.end()) {
            return;
        }
        Waiter waiter = std::move(*it);
        m_lockWaiters.erase(it);
        Run(waiter);
    }
}

void Device::DestroyLink(const CallRef& call, LinkId lid) {
    if (Find(lid) == nullptr) {
        m_host.Done(call, ErrorResp{ErrorCode::InvalidLinkIdentifier});
        return;
    }
    DropLink(lid, true);
    m_host.Done(call, ErrorResp{});
}

void Device::DropLink(LinkId lid, bool answerWaiters) {
    const auto it = m_links.find(lid);
    if (it == m_links.end()) {
        return;
    }
    const int instrument = it->second.instrument;
    std::vector<Waiter> ended;
    if (it->second.read) {
        ended.push_back(std::move(*it->second.read));
    }
    const auto waits = std::stable_partition(m_lockWaiters.begin(), m_lockWaiters.end(),
                                             [lid](const Waiter& w) { return w.lid != lid; });
    std::move(waits, m_lockWaiters.end(), std::back_inserter(ended));
    m_lockWaiters.erase(waits, m_lockWaiters.end());
    const bool held = LockHolder(instrument) == lid;
    m_links.erase(it);
    if (answerWaiters) {
        for (const Waiter& waiter : ended) {
            Refuse(waiter, ErrorCode::InvalidLinkIdentifier);
        }
    }
    if (held) {
        Release(instrument);
    }
}

void Device::Abort(const CallRef& call, LinkId lid) {
    Link* link = Find(lid);
    if (link == nullptr) {
        m_host.Done(call, ErrorResp{ErrorCode::InvalidLinkIdentifier});
        return;
    }
    std::vector<Waiter> ended;
    if (link->read) {
        ended.push_back(std::move(*link->read));
        link->read.reset();
    }
    const auto waits = std::stable_partition(m_lockWaiters.begin(), m_lockWaiters.end(),
                                             [lid](const Waiter& w) { return w.lid != lid; });
    std::move(waits, m_lockWaiters.end(), std::back_inserter(ended));
    m_lockWaiters.erase(waits, m_lockWaiters.end());
    m_host.Done(call, ErrorResp{});
    for (const Waiter& waiter : ended) {
        Refuse(waiter, ErrorCode::Abort);
    }
}

void Device::Unsupported(const CallRef& call, LinkId lid, bool docmd) {
    const ErrorCode error =
        Find(lid) == nullptr ? ErrorCode::InvalidLinkIdentifier : ErrorCode::OperationNotSupported;
    if (docmd) {
        m_host.Done(call, DocmdResp{error});
    } else {
        m_host.Done(call, ErrorResp{error});
    }
}

void Device::CloseConnection(ConnectionId connection) {
    std::vector<LinkId> lids;
    for (const auto& [lid, link] : m_links) {
        if (link.connection == connection) {
            lids.push_back(lid);
        }
    }
    for (const LinkId lid : lids) {
        DropLink(lid, false);
    }
    // Calls it made on other connections' links wait for no one now.
    std::erase_if(m_lockWaiters,
                  [connection](const Waiter& w) { return w.call.connection == connection; });
    for (auto& [lid, link] : m_links) {
        if (link.read && link.read->call.connection == connection) {
            link.read.reset();
        }
    }
}

void Device::Advance(Millis now) {
    // Collect first, then answer: an answer may not disturb the lists being walked.
    std::vector<std::pair<Waiter, ErrorCode>> due;
    const auto late = std::stable_partition(m_lockWaiters.begin(), m_lockWaiters.end(),
                                            [now](const Waiter& w) { return w.deadline > now; });
    for (auto it = late; it != m_lockWaiters.end(); ++it) {
        due.emplace_back(std::move(*it), ErrorCode::DeviceLockedByAnotherLink);
    }
    m_lockWaiters.erase(late, m_lockWaiters.end());
    for (auto& [lid, link] : m_links) {
        if (link.read && link.read->ioDeadline <= now) {
            due.emplace_back(std::move(*link.read), ErrorCode::IoTimeout);
            link.read.reset();
        }
    }
    for (const auto& [waiter, error] : due) {
        Refuse(waiter, error);
    }
}

std::optional<Millis> Device::NextDeadline() const {
    std::optional<Millis> next;
    const auto consider = [&next](Millis at) { next = next ? std::min(*next, at) : at; };
    for (const Waiter& waiter : m_lockWaiters) {
        consider(waiter.deadline);
    }
    for (const auto& [lid, link] : m_links) {
        if (link.read) {
            consider(link.read->ioDeadline);
        }
    }
    return next;
}

void Device::Refuse(const Waiter& waiter, ErrorCode error) {
    switch (waiter.kind) {
        case Waiter::Kind::CreateLink:
            m_links.erase(waiter.lid);  // a link that could not take its lock is not made
            m_host.Done(waiter.call, CreateLinkResp{error});
            break;
        case Waiter::Kind::Write:
            m_host.Done(waiter.call, WriteResp{error});
            break;
        case Waiter::Kind::Read:
            m_host.Done(waiter.call, ReadResp{error});
            break;
        case Waiter::Kind::ReadStb:
            m_host.Done(waiter.call, ReadStbResp{error});
            break;
        case Waiter::Kind::Clear:
        case Waiter::Kind::Lock:
            m_host.Done(waiter.call, ErrorResp{error});
            break;
    }
}

}  // namespace vxi11
