// The instrument core through its RPC face: each row is a script of calls from numbered
// connections on numbered links, and the replies each step sends, shown as "E<error>" with
// " L<link>" (create_link), " n<size>" (write), " r<reason> <data>" (read, LF as '|') or
// " s<hex>" (readstb); "@<step>" marks a late reply to an earlier step's call.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "Rpc.h"
#include "Vxi11Service.h"

namespace {

using namespace vxi11;

enum class Op {
    Create,
    Write,
    Read,
    Stb,
    Clear,
    Trigger,
    Docmd,
    Lock,
    Unlock,
    Destroy,
    Abort,
    Tick,
    Close,
    Late
};

struct Step {
    Op op;
    int conn = 1;
    int link = 1;               // the link created at that step's order; 9: a link that never was
    std::uint32_t n = 0;        // Create: lockDevice; Read: requestSize; Tick: the time
    std::uint32_t timeout = 0;  // lock_timeout (and a read's io_timeout)
    std::int32_t flags = 0;
    const char* data = "";  // Create: device; Write: data; Read: the term char
    const char* expect = "E0";
};

struct Script {
    const char* name;
    std::vector<Step> steps;
};

// An instrument that answers a query "X?" with "=X", and holds messages starting "SLOW" until
// the script's Late step answers "late".
class FakeInstrument : public LinkInstrument {
public:
    FakeInstrument(Device& device, LinkId lid) : m_device(device), m_lid(lid) {}
    void Feed(std::string_view message) override {
        if (message.starts_with("SLOW")) {
            m_waiting = true;
        } else if (message.ends_with("?\n")) {
            m_device.Answer(m_lid, "=" + std::string(message.substr(0, message.size() - 2)) + "\n");
        }
    }
    bool Waiting() const override { return m_waiting; }
    std::uint8_t StatusByte() const override { return 0x20; }
    void Clear() override { m_waiting = false; }

private:
    Device& m_device;
    LinkId m_lid;
    bool m_waiting = false;
};

class Harness : public ServiceHost {
public:
    Harness() : service({7, 1024, 3, 64}, *this) {}

    std::optional<int> FindInstrument(std::string_view) override { return 0; }
    std::unique_ptr<LinkInstrument> OpenLink(int, LinkId lid) override {
        return std::make_unique<FakeInstrument>(service.Core(), lid);
    }
    void Send(ConnectionId, std::string record) override {
        EXPECT_EQ(static_cast<std::uint8_t>(record[0]) & 0x80, 0x80) << "one last fragment";
        XdrReader reader(std::string_view(record).substr(4));
        const std::uint32_t xid = reader.U32();
        reader.U32();
        reader.U32();
        reader.U32();
        reader.Opaque(400);
        ASSERT_EQ(reader.U32(), 0u) << "accept_stat";
        std::string text = xid == step ? "" : "@" + std::to_string(xid) + " ";
        text += "E" + std::to_string(reader.I32());
        switch (ops[xid]) {
            case Op::Create:
                if (reader.Remaining() == 12 && text.back() == '0') {
                    lids.push_back(reader.I32());
                    text += " L" + std::to_string(lids.size());
                    EXPECT_EQ(reader.U32(), 7u);     // abort port
                    EXPECT_EQ(reader.U32(), 1024u);  // maxRecvSize
                }
                break;
            case Op::Write:
                text += " n" + std::to_string(reader.U32());
                break;
            case Op::Read: {
                text += " r" + std::to_string(reader.I32());
                std::string data(reader.Opaque(1 << 20));
                std::replace(data.begin(), data.end(), '\n', '|');
                text += data.empty() ? "" : " " + data;
                break;
            }
            case Op::Stb: {
                char hex[8];
                std::snprintf(hex, sizeof hex, " s%02x", reader.U32());
                text += text.back() == '0' ? hex : "";
                break;
            }
            default:
                break;
        }
        replies += (replies.empty() ? "" : " ") + text;
    }

    void Call(std::uint32_t proc, const std::string& args, int conn) {
        XdrWriter writer = BeginCall(step, kCoreProgram, 1, proc, false);
        service.HandleRecord(static_cast<ConnectionId>(conn), writer.Take() + args, now);
    }

    void Run(const Step& s) {
        ops[step] = s.op;
        const LinkId lid = s.link >= 1 && s.link <= static_cast<int>(lids.size())
                               ? lids[static_cast<std::size_t>(s.link - 1)]
                               : 999;
        XdrWriter args(false);
        const auto generic = [&] {
            args.I32(lid);
            args.I32(s.flags);
            args.U32(s.timeout);
            args.U32(s.timeout);
        };
        switch (s.op) {
            case Op::Create:
                args.I32(0);
                args.Bool(s.n != 0);
                args.U32(s.timeout);
                args.String(s.data);
                return Call(10, args.Take(), s.conn);
            case Op::Write:
                args.I32(lid);
                args.U32(s.timeout);
                args.U32(s.timeout);
                args.I32(s.flags);
                args.Opaque(s.data);
                return Call(11, args.Take(), s.conn);
            case Op::Read:
                args.I32(lid);
                args.U32(s.n);
                args.U32(s.timeout);
                args.U32(s.timeout);
                args.I32(s.flags);
                args.I32(s.data[0]);
                return Call(12, args.Take(), s.conn);
            case Op::Stb:
                generic();
                return Call(13, args.Take(), s.conn);
            case Op::Clear:
                generic();
                return Call(15, args.Take(), s.conn);
            case Op::Trigger:
                generic();
                return Call(14, args.Take(), s.conn);
            case Op::Docmd:
                generic();
                for (int i = 0; i < 3; ++i) {  // cmd, network_order, datasize
                    args.U32(0);
                }
                args.Opaque("");
                return Call(22, args.Take(), s.conn);
            case Op::Lock:
                args.I32(lid);
                args.I32(s.flags);
                args.U32(s.timeout);
                return Call(18, args.Take(), s.conn);
            case Op::Unlock:
            case Op::Destroy:
                args.I32(lid);
                return Call(s.op == Op::Unlock ? 19 : 23, args.Take(), s.conn);
            case Op::Abort: {
                XdrWriter writer = BeginCall(step, kAbortProgram, 1, 1, false);
                writer.I32(lid);
                return service.HandleRecord(static_cast<ConnectionId>(s.conn), writer.Take(), now);
            }
            case Op::Tick:
                now = s.n;
                return service.Core().Advance(now);
            case Op::Close:
                return service.Core().CloseConnection(static_cast<ConnectionId>(s.conn));
            case Op::Late:
                return service.Core().Answer(lid, "late\n");
        }
    }

    Service service;
    std::uint32_t step = 0;
    Millis now = 0;
    std::vector<LinkId> lids;
    std::map<std::uint32_t, Op> ops;
    std::string replies;
};

class Links : public testing::TestWithParam<Script> {};

TEST_P(Links, eachStepRepliesAsExpected) {
    Harness harness;
    for (const Step& s : GetParam().steps) {
        ++harness.step;
        harness.replies.clear();
        harness.Run(s);
        EXPECT_EQ(harness.replies, s.expect) << "step " << harness.step;
    }
    EXPECT_FALSE(harness.service.Core().NextDeadline()) << "a reply still owed";
}

constexpr std::int32_t kEnd = kFlagEnd;
constexpr std::int32_t kWait = kFlagWaitLock;
const std::string kLong(70, 'a');
const Step kOpen{Op::Create, 1, 0, 0, 0, 0, "inst0", "E0 L1"};
const Step kOpen2{Op::Create, 2, 0, 0, 0, 0, "INST0", "E0 L2"};
const Step kLock1{Op::Lock, 1, 1};

INSTANTIATE_TEST_SUITE_P(
    Rows, Links,
    testing::Values(Script{"idn",
                           {kOpen,
                            {Op::Write, 1, 1, 0, 0, kEnd, "*IDN?", "E0 n5"},
                            {Op::Read, 1, 1, 100, 1000, 0, "", "E0 r4 =*IDN|"},
                            {Op::Destroy},
                            {Op::Write, 1, 1, 0, 0, kEnd, "*IDN?", "E4 n0"}}},
                    Script{"piecesJoinedUntilEnd",
                           {kOpen,
                            {Op::Write, 1, 1, 0, 0, 0, "*ID", "E0 n3"},
                            {Op::Write, 1, 1, 0, 0, 0x9, "N?", "E0 n2"},
                            {Op::Read, 1, 1, 100, 0, 0, "", "E0 r4 =*IDN|"}}},
                    Script{"lfEndsAMessageWithoutEnd",
                           {kOpen,
                            {Op::Write, 1, 1, 0, 0, 0, "A?\nB", "E0 n4"},
                            {Op::Read, 1, 1, 100, 0, 0, "", "E0 r4 =A|"},
                            {Op::Write, 1, 1, 0, 0, kEnd, "?", "E0 n1"},
                            {Op::Read, 1, 1, 100, 0, 0, "", "E0 r4 =B|"}}},
                    Script{"readInPieces",
                           {kOpen,
                            {Op::Write, 1, 1, 0, 0, kEnd, "ABCDE?", "E0 n6"},
                            {Op::Read, 1, 1, 4, 0, 0, "", "E0 r1 =ABC"},
                            {Op::Read, 1, 1, 2, 0, 0, "", "E0 r1 DE"},
                            {Op::Read, 1, 1, 4, 0, 0, "", "E0 r4 |"},
                            {Op::Read, 1, 1, 4, 1000, 0, "", "E15 r0"}}},
                    Script{"termChar",
                           {kOpen,
                            {Op::Write, 1, 1, 0, 0, kEnd, "xy?", "E0 n3"},
                            {Op::Read, 1, 1, 100, 0, kFlagTermChrSet, "x", "E0 r2 =x"},
                            {Op::Read, 1, 1, 100, 0, kFlagTermChrSet, "x", "E0 r4 y|"}}},
                    Script{"overlongMessageDropped",
                           {kOpen, {Op::Write, 1, 1, 0, 0, 0, kLong.c_str(), "E9 n70"}}},
                    Script{"readWaitsForTheAnswer",
                           {kOpen,
                            {Op::Write, 1, 1, 0, 0, kEnd, "SLOW", "E0 n4"},
                            {Op::Read, 1, 1, 100, 500, 0, "", ""},
                            {Op::Tick, 1, 1, 499, 0, 0, "", ""},
                            {Op::Late, 1, 1, 0, 0, 0, "", "@3 E0 r4 late|"}}},
                    Script{"readTimesOut",
                           {kOpen,
                            {Op::Write, 1, 1, 0, 0, kEnd, "SLOW", "E0 n4"},
                            {Op::Read, 1, 1, 100, 500, 0, "", ""},
                            {Op::Read, 1, 1, 100, 500, 0, "", "E9 r0"},
                            {Op::Tick, 1, 1, 500, 0, 0, "", "@3 E15 r0"},
                            {Op::Late, 1, 1, 0, 0, 0, "", ""},
                            {Op::Read, 1, 1, 100, 0, 0, "", "E0 r4 late|"}}},
                    Script{"abortEndsTheWaitingRead",
                           {kOpen,
                            {Op::Write, 1, 1, 0, 0, kEnd, "SLOW", "E0 n4"},
                            {Op::Read, 1, 1, 100, 500, 0, "", ""},
                            {Op::Abort, 2, 1, 0, 0, 0, "", "E0 @3 E23 r0"},
                            {Op::Abort, 2, 9, 0, 0, 0, "", "E4"}}},
                    Script{"clearEmptiesInputAndOutput",
                           {kOpen,
                            {Op::Write, 1, 1, 0, 0, kEnd, "Q?", "E0 n2"},
                            {Op::Stb, 1, 1, 0, 0, 0, "", "E0 s30"},
                            {Op::Write, 1, 1, 0, 0, 0, "AB", "E0 n2"},
                            {Op::Clear},
                            {Op::Stb, 1, 1, 0, 0, 0, "", "E0 s20"},
                            {Op::Read, 1, 1, 100, 0, 0, "", "E15 r0"},
                            {Op::Write, 1, 1, 0, 0, kEnd, "C?", "E0 n2"},
                            {Op::Read, 1, 1, 100, 0, 0, "", "E0 r4 =C|"}}},
                    Script{"notSupported",
                           {kOpen,
                            {Op::Trigger, 1, 1, 0, 0, 0, "", "E8"},
                            {Op::Docmd, 1, 1, 0, 0, 0, "", "E8"},
                            {Op::Trigger, 1, 9, 0, 0, 0, "", "E4"},
                            {Op::Stb, 1, 9, 0, 0, 0, "", "E4"},
                            {Op::Read, 1, 9, 0, 0, 0, "", "E4 r0"},
                            {Op::Destroy, 1, 9, 0, 0, 0, "", "E4"}}},
                    Script{"linkLimitAndNames",
                           {kOpen,
                            kOpen2,
                            {Op::Create, 1, 0, 0, 0, 0, "5025", "E0 L3"},
                            {Op::Create, 1, 0, 0, 0, 0, "inst0", "E9"},
                            {Op::Destroy, 1, 3},
                            {Op::Create, 1, 0, 0, 0, 0, "inst1", "E0 L4"}}},
                    Script{"lockRefusesOthers",
                           {kOpen,
                            kOpen2,
                            kLock1,
                            {Op::Lock, 1, 1, 0, 0, 0, "", "E0"},
                            {Op::Write, 2, 2, 0, 0, kEnd, "Q?", "E11 n0"},
                            {Op::Read, 2, 2, 100, 0, 0, "", "E11 r0"},
                            {Op::Clear, 2, 2, 0, 0, 0, "", "E11"},
                            {Op::Stb, 2, 2, 0, 0, 0, "", "E11"},
                            {Op::Lock, 2, 2, 0, 1000, 0, "", "E11"},
                            {Op::Unlock, 2, 2, 0, 0, 0, "", "E12"},
                            {Op::Write, 1, 1, 0, 0, kEnd, "Q?", "E0 n2"},
                            {Op::Unlock},
                            {Op::Unlock, 1, 1, 0, 0, 0, "", "E12"},
                            {Op::Write, 2, 2, 0, 0, kEnd, "Q?", "E0 n2"}}},
                    Script{"unlockWakesWaitersInOrder",
                           {kOpen,
                            kOpen2,
                            kLock1,
                            {Op::Write, 2, 2, 0, 1000, kEnd | kWait, "Q?", ""},
                            {Op::Lock, 2, 2, 0, 1000, kWait, "", ""},
                            {Op::Unlock, 1, 1, 0, 0, 0, "", "E0 @4 E0 n2 @5 E0"},
                            {Op::Read, 2, 2, 100, 0, 0, "", "E0 r4 =Q|"},
                            {Op::Write, 1, 1, 0, 0, kEnd, "Q?", "E11 n0"}}},
                    Script{"lockWaitTimesOut",
                           {kOpen,
                            kOpen2,
                            kLock1,
                            {Op::Lock, 2, 2, 0, 500, kWait, "", ""},
                            {Op::Read, 2, 2, 100, 800, kWait, "", ""},
                            {Op::Tick, 1, 1, 499, 0, 0, "", ""},
                            {Op::Tick, 1, 1, 500, 0, 0, "", "@4 E11"},
                            {Op::Tick, 1, 1, 800, 0, 0, "", "@5 E11 r0"}}},
                    Script{"lockEndsWithItsLink",
                           {kOpen,
                            kOpen2,
                            kLock1,
                            {Op::Lock, 2, 2, 0, 500, kWait, "", ""},
                            {Op::Destroy, 1, 1, 0, 0, 0, "", "@4 E0 E0"},
                            {Op::Unlock, 2, 2, 0, 0, 0, "", "E0"}}},
                    Script{"lockEndsWithItsConnection",
                           {kOpen,
                            kOpen2,
                            kLock1,
                            {Op::Read, 2, 2, 100, 500, kWait, "", ""},
                            {Op::Close, 1, 1, 0, 0, 0, "", "@4 E15 r0"},
                            {Op::Stb, 1, 1, 0, 0, 0, "", "E4"}}},
                    Script{"abortEndsALockWait",
                           {kOpen,
                            kOpen2,
                            kLock1,
                            {Op::Lock, 2, 2, 0, 500, kWait, "", ""},
                            {Op::Abort, 3, 2, 0, 0, 0, "", "E0 @4 E23"}}},
                    Script{"createWithLock",
                           {{Op::Create, 1, 0, 1, 0, 0, "inst0", "E0 L1"},
                            {Op::Create, 2, 0, 1, 0, 0, "inst0", "E11"},
                            {Op::Create, 2, 0, 1, 500, 0, "inst0", ""},
                            {Op::Destroy, 1, 1, 0, 0, 0, "", "@3 E0 L2 E0"},
                            {Op::Write, 1, 2, 0, 0, kEnd, "Q?", "E0 n2"},
                            {Op::Create, 3, 0, 1, 100, 0, "inst0", ""},
                            {Op::Tick, 1, 1, 100, 0, 0, "", "@6 E11"},
                            {Op::Create, 3, 0, 0, 0, 0, "inst0", "E0 L3"}}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
