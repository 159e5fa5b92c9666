// The wire below the instrument: record marks fed in chunks of every size, RPC headers the
// server refuses or runs, and the portmapper's answers. Replies are shown as "acc <stat>" or
// "den <stat>" and the rest of their words.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Portmap.h"
#include "RecordMarking.h"
#include "Rpc.h"
#include "Vxi11Service.h"

namespace {

using namespace vxi11;
using Words = std::vector<std::uint32_t>;

std::string Bytes(const Words& words) {
    XdrWriter writer(false);
    for (const std::uint32_t word : words) {
        writer.U32(word);
    }
    return writer.Take();
}

// A reply (record mark removed if present) as "acc|den <stat> <word>...".
std::string Show(std::string reply, bool marked) {
    if (reply.empty()) {
        return "";
    }
    XdrReader reader(marked ? std::string_view(reply).substr(4) : std::string_view(reply));
    reader.U32();  // xid
    reader.U32();  // REPLY
    const bool accepted = reader.U32() == 0;
    if (accepted) {
        reader.U32();
        reader.Opaque(400);
    }
    std::string text = accepted ? "acc" : "den";
    while (reader.Remaining() >= 4) {
        text += " " + std::to_string(reader.U32());
    }
    return text;
}

// ---- record marking: "F<n>:<body>" a fragment, "L<n>:<body>" a last one, then results.
struct RecordRow {
    const char* name;
    const char* stream;
    std::size_t limit;
    const char* expect;  // records joined by '|', "TOO" when refused, "+<n>" bytes held
};

std::string Stream(const std::string& text) {
    std::string out;
    std::size_t at = 0;
    while (at < text.size()) {
        const bool last = text[at] == 'L';
        const std::size_t colon = text.find(':', at);
        const std::uint32_t length = static_cast<std::uint32_t>(std::stoul(text.substr(at + 1)));
        std::size_t end = text.find(' ', colon);
        end = end == std::string::npos ? text.size() : end;
        XdrWriter writer(false);
        writer.U32((last ? 0x80000000u : 0) | length);
        out += writer.Take() + text.substr(colon + 1, end - colon - 1);
        at = end + 1;
    }
    return out;
}

class Records : public testing::TestWithParam<RecordRow> {};

TEST_P(Records, sameRecordsWhateverTheChunks) {
    const std::string stream = Stream(GetParam().stream);
    for (const std::size_t chunkSize : {std::size_t{1}, std::size_t{3}, stream.size()}) {
        RecordReassembler records(GetParam().limit);
        std::string got;
        for (std::size_t at = 0; at < stream.size() && got.find("TOO") == std::string::npos;
             at += chunkSize) {
            std::string_view chunk = std::string_view(stream).substr(at, chunkSize);
            for (RecordStatus status; (status = records.Next(chunk)) != RecordStatus::NeedMore;) {
                got +=
                    status == RecordStatus::TooLarge ? "TOO" : std::string(records.Record()) + "|";
                if (status == RecordStatus::TooLarge) {
                    break;
                }
            }
        }
        if (records.Buffered() > 0) {
            got += "+" + std::to_string(records.Buffered());
        }
        EXPECT_EQ(got, GetParam().expect) << "chunks of " << chunkSize;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Records,
    testing::Values(RecordRow{"one", "L3:abc", 64, "abc|"},
                    RecordRow{"fragments", "F3:abc F0: L2:de", 64, "abcde|"},
                    RecordRow{"two", "L1:a L2:bc", 64, "a|bc|"},
                    RecordRow{"emptyLast", "F2:ab L0:", 64, "ab|"},
                    RecordRow{"exactLimit", "F2:ab L2:cd", 4, "abcd|"},
                    RecordRow{"overInOne", "L5:abcde", 4, "TOO"},
                    RecordRow{"overAcross", "F3:abc F2:de L1:f", 4, "TOO"},
                    RecordRow{"hugeMarkNoBody", "L2147483647:", 1 << 20, "TOO"},
                    RecordRow{"truncatedBody", "L5:ab", 64, "+2"},
                    RecordRow{"afterRefusalNothing", "L9:123456789 L1:a", 4, "TOO"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- RPC screening, through the VXI-11 service (create_link as the procedure that runs).
struct RpcRow {
    const char* name;
    Words header;  // rpcvers, program, version, procedure, cred flavour, body..., verifier...
    Words args;
    const char* expect;
};

class NoInstrument : public ServiceHost {
public:
    std::optional<int> FindInstrument(std::string_view) override { return 0; }
    std::unique_ptr<LinkInstrument> OpenLink(int, LinkId) override { return nullptr; }
    void Send(ConnectionId, std::string record) override { sent = std::move(record); }
    std::string sent;
};

class RpcCalls : public testing::TestWithParam<RpcRow> {};

TEST_P(RpcCalls, answeredAsOncRpcSays) {
    NoInstrument host;
    Service service({}, host);
    Words words{7, 0};
    words.insert(words.end(), GetParam().header.begin(), GetParam().header.end());
    words.insert(words.end(), GetParam().args.begin(), GetParam().args.end());
    service.HandleRecord(1, Bytes(words), 0);
    EXPECT_EQ(Show(host.sent, true), GetParam().expect);
}

constexpr std::uint32_t kCore = kCoreProgram;
const Words kNone{0, 0};
// AUTH_SYS: stamp, "ab", uid, gid, one group.
const Words kSys{1, 28, 9, 2, 0x61620000, 1000, 1000, 1, 27};
Words Header(std::uint32_t vers, std::uint32_t program, std::uint32_t pv, std::uint32_t proc,
             Words cred = kNone, Words verf = kNone) {
    Words out{vers, program, pv, proc};
    out.insert(out.end(), cred.begin(), cred.end());
    out.insert(out.end(), verf.begin(), verf.end());
    return out;
}
const Words kInst0{0, 0, 0, 5, 0x696e7374, 0x30000000};  // clientId, lock, timeout, "inst0"

INSTANTIATE_TEST_SUITE_P(
    Rows, RpcCalls,
    testing::Values(
        // A NoInstrument link cannot open: out of resources (9), yet the call ran.
        RpcRow{"authNone", Header(2, kCore, 1, 10), kInst0, "acc 0 9 0 0 0"},
        RpcRow{"authSys", Header(2, kCore, 1, 10, kSys), kInst0, "acc 0 9 0 0 0"},
        RpcRow{"rpcVersion3", Header(3, kCore, 1, 10), kInst0, "den 0 2 2"},
        RpcRow{"authSysShort", Header(2, kCore, 1, 10, {1, 8, 9, 2}), kInst0, "den 1 1"},
        RpcRow{"authSysTooManyGroups", Header(2, kCore, 1, 10, {1, 20, 9, 0, 0, 0, 17}), kInst0,
               "den 1 1"},
        RpcRow{"authNoneWithBody", Header(2, kCore, 1, 10, {0, 4, 1}), kInst0, "den 1 1"},
        RpcRow{"authGss", Header(2, kCore, 1, 10, {6, 0}), kInst0, "den 1 2"},
        RpcRow{"verifierSys", Header(2, kCore, 1, 10, kNone, {1, 0}), kInst0, "den 1 4"},
        RpcRow{"credOver400", Header(2, kCore, 1, 10, {1, 404}), kInst0, "den 1 1"},
        RpcRow{"headerCut", {2, kCore}, {}, "den 1 1"},
        RpcRow{"otherProgram", Header(2, 0x0607B0, 1, 10), kInst0, "acc 1"},
        RpcRow{"coreVersion2", Header(2, kCore, 2, 10), kInst0, "acc 2 1 1"},
        RpcRow{"abortVersion0", Header(2, kAbortProgram, 0, 1), {1}, "acc 2 1 1"},
        RpcRow{"coreProc99", Header(2, kCore, 1, 99), {}, "acc 3"},
        RpcRow{"coreProc1", Header(2, kCore, 1, 1), {1}, "acc 3"},
        RpcRow{"abortProc10", Header(2, kAbortProgram, 1, 10), kInst0, "acc 3"},
        RpcRow{"abortUnknownLink", Header(2, kAbortProgram, 1, 1), {5}, "acc 0 4"},
        RpcRow{"abortNoArgs", Header(2, kAbortProgram, 1, 1), {}, "acc 4"},
        RpcRow{"createCut", Header(2, kCore, 1, 10), {0, 0, 0, 5, 0x696e7374}, "acc 4"},
        RpcRow{"createBool2", Header(2, kCore, 1, 10), {0, 2, 0, 0}, "acc 4"},
        RpcRow{"createNameOver256", Header(2, kCore, 1, 10), {0, 0, 0, 257}, "acc 4"},
        RpcRow{"writeDataPastEnd", Header(2, kCore, 1, 11), {1, 0, 0, 8, 100, 0}, "acc 4"},
        RpcRow{"readCut", Header(2, kCore, 1, 12), {1, 10, 0, 0, 0}, "acc 4"},
        RpcRow{"lockNoLink", Header(2, kCore, 1, 18), {3, 0, 0}, "acc 0 4"},
        RpcRow{"srqHandleOver40", Header(2, kCore, 1, 20), {1, 1, 41}, "acc 4"},
        RpcRow{"docmdNoLink", Header(2, kCore, 1, 22), {1, 0, 0, 0, 0, 0, 0, 0}, "acc 0 4 0"},
        RpcRow{"createIntrChan", Header(2, kCore, 1, 25), {0, 0, 0, 0, 0}, "acc 0 8"},
        RpcRow{"destroyIntrChan", Header(2, kCore, 1, 26), {}, "acc 0 6"}),
    [](const auto& info) { return std::string(info.param.name); });

// A reply message, or one too short to name its xid, cannot be answered.
TEST(RpcCalls, unanswerableMessagesAreDropped) {
    NoInstrument host;
    Service service({}, host);
    service.HandleRecord(1, Bytes({7, 1, 0, 0, 0, 0}), 0);
    service.HandleRecord(1, "\x01\x02", 0);
    EXPECT_EQ(host.sent, "");
}

// ---- the portmapper: over UDP (bare) and TCP (marked).
struct PmapRow {
    const char* name;
    Words header;
    Words args;
    const char* expect;
};

class Portmapper : public testing::TestWithParam<PmapRow> {};

TEST_P(Portmapper, answersFromItsTable) {
    const PortmapServer server({{kCoreProgram, 1, IpProto::Tcp, 1024}});
    Words words{9, 0};
    words.insert(words.end(), GetParam().header.begin(), GetParam().header.end());
    words.insert(words.end(), GetParam().args.begin(), GetParam().args.end());
    for (const bool tcp : {false, true}) {
        EXPECT_EQ(Show(server.Handle(Bytes(words), tcp).value_or(""), tcp), GetParam().expect)
            << (tcp ? "tcp" : "udp");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Portmapper,
    testing::Values(
        PmapRow{"null", Header(2, kPortmapProgram, 2, 0), {}, "acc 0"},
        PmapRow{"getPort", Header(2, kPortmapProgram, 2, 3), {kCore, 1, 6, 0}, "acc 0 1024"},
        PmapRow{"getPortUdp", Header(2, kPortmapProgram, 2, 3), {kCore, 1, 17, 0}, "acc 0 0"},
        PmapRow{
            "getPortOtherVersion", Header(2, kPortmapProgram, 2, 3), {kCore, 2, 6, 0}, "acc 0 0"},
        PmapRow{"getPortCut", Header(2, kPortmapProgram, 2, 3), {kCore, 1}, "acc 4"},
        PmapRow{"dump", Header(2, kPortmapProgram, 2, 4), {}, "acc 0 1 395183 1 6 1024 0"},
        PmapRow{"setRefused", Header(2, kPortmapProgram, 2, 1), {1, 1, 6, 9}, "acc 3"},
        PmapRow{"rpcbindV4", Header(2, kPortmapProgram, 4, 3), {}, "acc 2 2 2"},
        PmapRow{"notPortmapper", Header(2, kCore, 1, 3), {}, "acc 1"}),
    [](const auto& info) { return std::string(info.param.name); });

// Registering with a running rpcbind: the SET call as it sees it, and its bool reply.
TEST(Portmapper, setCallAndItsReply) {
    const std::string call =
        PmapCall(5, PmapProc::Set, {kCoreProgram, 1, IpProto::Tcp, 1024}, true);
    RpcCall parsed;
    std::string refusal;
    const ProgramVersions pmap{kPortmapProgram, 2, 2};
    ASSERT_EQ(ScreenCall(std::string_view(call).substr(4), {&pmap, 1}, false, parsed, refusal),
              CallVerdict::Dispatch);
    EXPECT_EQ(parsed.procedure, 1u);
    EXPECT_EQ(parsed.args, Bytes({kCoreProgram, 1, 6, 1024}));
    EXPECT_EQ(PmapBoolReply(Bytes({5, 1, 0, 0, 0, 0, 1}), 5), true);
    EXPECT_EQ(PmapBoolReply(Bytes({5, 1, 0, 0, 0, 0, 0}), 5), false);
    EXPECT_EQ(PmapBoolReply(Bytes({6, 1, 0, 0, 0, 0, 1}), 5), std::nullopt);  // another xid
    EXPECT_EQ(PmapBoolReply(Bytes({5, 1, 0, 0, 0, 1}), 5), std::nullopt);     // PROG_UNAVAIL
    EXPECT_EQ(PmapBoolReply(Bytes({5, 1, 0, 0, 0, 0, 2}), 5), std::nullopt);  // not a bool
}

}  // namespace
