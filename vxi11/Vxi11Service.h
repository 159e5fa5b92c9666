// The VXI-11 core and abort channels as RPC programs: records in, reply records out, on the
// instrument core. One Service serves every connection of both channels (which program a
// call is for is in the call), so the host may listen for them on one port or two.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "RecordMarking.h"
#include "Vxi11Device.h"

namespace vxi11 {

/// What the service needs from the server that carries it.
class ServiceHost {
public:
    virtual ~ServiceHost() = default;
    /// See DeviceHost::FindInstrument.
    virtual std::optional<int> FindInstrument(std::string_view device) = 0;
    /// See DeviceHost::OpenLink.
    virtual std::unique_ptr<LinkInstrument> OpenLink(int instrument, LinkId lid) = 0;
    /// One reply record, marked, for one write. `connection` may have closed (drop it). Like
    /// DeviceHost::Done, it must not call back into the Service.
    virtual void Send(ConnectionId connection, std::string record) = 0;
};

/// The RPC face of the instrument core.
class Service : private DeviceHost {
public:
    Service(const DeviceConfig& config, ServiceHost& host);

    /// The record limit for a connection's RecordReassembler: the largest write with room
    /// for its headers.
    std::size_t MaxRecordBytes() const { return m_maxRecord; }
    /// Takes one complete record (its marks removed) from `connection`.
    void HandleRecord(ConnectionId connection, std::string_view record, Millis now);
    /// Takes a chunk of `connection`'s byte stream; false when the connection must close (a
    /// record over the limit).
    bool Receive(ConnectionId connection, RecordReassembler& records, std::string_view chunk,
                 Millis now);

    /// The instrument core: answers, closed connections, time.
    Device& Core() { return m_device; }
    const Device& Core() const { return m_device; }

private:
    std::optional<int> FindInstrument(std::string_view device) override {
        return m_host.FindInstrument(device);
    }
    std::unique_ptr<LinkInstrument> OpenLink(int instrument, LinkId lid) override {
        return m_host.OpenLink(instrument, lid);
    }
    void Done(const CallRef& call, const Reply& reply) override;

    ServiceHost& m_host;
    Device m_device;
    std::size_t m_maxRecord;
};

}  // namespace vxi11
