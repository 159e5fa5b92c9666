// The panel's side of a control session with no socket: bytes in, lines out, the panel and
// the clock played by the test.
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ControlSession.h"

namespace {

/// The panel, its clock and the writer: records what the session asks of each.
class FakePanel : public IPanelEntry, public IControlWriter, public IControlHost {
public:
    bool synced = true;
    bool busy = false;
    std::optional<bool> output;  // as the module last reported it
    std::vector<std::string> done;
    std::map<int, std::string> out;
    std::map<int, bool> reading;
    int timerMs = 0;
    std::deque<std::function<void()>> posted;

    bool Synced() const override { return synced; }
    bool SubmitEntry(Quantity field, const std::string& text) override {
        if (field == Quantity::Output && output == (text == "on")) {
            return false;
        }
        done.push_back(std::string("enter ") + QuantityName(field) + " " + text);
        return true;
    }
    bool QueryModule(Quantity quantity) override {
        done.push_back(std::string("query ") + QuantityName(quantity));
        return true;
    }
    void WriteLine(int client, const std::string& line) override { out[client] += line; }
    void SetReading(int client, bool on) override { reading[client] = on; }
    void Serve(bool) override {}
    bool OperatorBusy() const override { return busy; }
    long Pid() const override { return 42; }
    std::string PortName(int com) const override { return "COM" + std::to_string(com); }
    std::string DevicePath(int) const override { return "/dev/pts/9"; }
    void StartTimer(int ms) override { timerMs = ms; }
    void StopTimer() override { timerMs = 0; }
    void Post(std::function<void()> work) override { posted.push_back(std::move(work)); }
    void RunPosted() {
        while (!posted.empty()) {
            auto work = std::move(posted.front());
            posted.pop_front();
            work();
        }
    }
};

std::string Request(const std::string& body) {
    return R"({"v":1,)" + body + "}\n";
}

class ControlSessionTest : public ::testing::Test {
protected:
    ControlSessionTest() {
        m_session.OnPortOpened(5);
        m_session.OnModuleReply({Quantity::Channel, 45});
        m_session.OnModuleReply({Quantity::Output, 1});
        m_panel.output = true;
    }
    void Reply(Quantity quantity, int value) {
        if (quantity == Quantity::Output) {
            m_panel.output = value != 0;
        }
        m_session.OnModuleReply({quantity, value});
        m_panel.RunPosted();
    }

    FakePanel m_panel;
    ControlSession m_session{m_panel, m_panel, m_panel};
};

// Line framing (the parser's refusals are ControlProtocol's rows): each row is what one client
// sends, and the answers it gets.
TEST_F(ControlSessionTest, LinesAreFramedAndBadOnesRefusedWithAReason) {
    const std::string oversize(ControlSession::kMaxPendingIn, 'x');
    const std::string hello = Request(R"("cmd":"hello")");
    const struct {
        const char* name;
        std::vector<std::string> chunks;
        std::vector<const char*> answers;  // a piece of each answer, in order
    } rows[] = {
        {"a line split across reads", {R"({"v":1,"cm)", "d\":\"hello\"}\n"}, {R"("port":"COM5")"}},
        {"two lines in one read",
         {hello + Request(R"("cmd":"get","what":"channel")")},
         {R"("pid":42)", R"("channel":45,"ok":true)"}},
        {"not JSON", {"set channel 5\n"}, {"not JSON"}},
        // The rest of an over-long line is thrown away; the connection then works on.
        {"over-long line, then more, then a request",
         {oversize, oversize + "tail\n", hello},
         {"longer than 4096 bytes", R"("ok":true)"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const int client = m_session.Connect();
        for (const std::string& chunk : row.chunks) {
            m_session.Receive(client, chunk);
        }
        std::string out = m_panel.out[client];
        for (const char* piece : row.answers) {
            const std::size_t end = out.find('\n');
            ASSERT_NE(end, std::string::npos) << "an answer is missing";
            EXPECT_NE(out.substr(0, end).find(piece), std::string::npos) << out;
            out.erase(0, end + 1);
        }
        EXPECT_EQ(out, "") << "nothing more";
        EXPECT_TRUE(m_panel.reading.count(client) == 0 || m_panel.reading[client]) << "still read";
        EXPECT_TRUE(m_panel.done.empty()) << "nothing asked of the panel";
    }
}

// Requests that need the module run one at a time, when their turn comes, and are answered
// with what the module reported after them.
TEST_F(ControlSessionTest, RequestsRunInTurnAndAreAnsweredWithWhatTheModuleReported) {
    const int first = m_session.Connect();
    const int second = m_session.Connect();
    m_session.Receive(first, Request(R"("cmd":"set","what":"output","value":"off")"));
    m_session.Receive(second, Request(R"("cmd":"set","what":"output","value":"off")"));
    EXPECT_EQ(m_panel.done, std::vector<std::string>{"enter output off"});
    Reply(Quantity::Output, 0);
    EXPECT_EQ(m_panel.done, std::vector<std::string>{"enter output off"}) << "once, not back on";
    for (const int client : {first, second}) {
        EXPECT_EQ(m_panel.out[client], R"({"ok":true,"v":1,"value":0,"what":"output"})"
                                       "\n");
    }

    m_panel.done.clear();
    m_session.Receive(first, Request(R"("cmd":"set","what":"power","value":"8.2")"));
    Reply(Quantity::Power, 820);
    m_session.Receive(first, Request(R"("cmd":"get","fresh":true)"));
    Reply(Quantity::Channel, 46);
    Reply(Quantity::Power, 820);
    Reply(Quantity::Output, 0);
    EXPECT_EQ(m_panel.done, (std::vector<std::string>{"enter power 8.2", "query channel",
                                                      "query power", "query output"}));
    EXPECT_NE(m_panel.out[first].find(
                  R"({"channel":46,"ok":true,"output":0,"power":820,"synced":true,"v":1})"),
              std::string::npos)
        << m_panel.out[first];
}

// A box waiting for the operator holds requests back; a silent module ends one with an error;
// a closed port answers everyone.
TEST_F(ControlSessionTest, HeldBackTimedOutAndClosedRequestsAreAnswered) {
    const int client = m_session.Connect();
    m_panel.busy = true;
    m_session.Receive(client, Request(R"("cmd":"set","what":"channel","value":7)"));
    EXPECT_TRUE(m_panel.done.empty());
    EXPECT_EQ(m_panel.timerMs, ControlSession::kBusyRetryMs);
    m_panel.busy = false;
    m_session.OnTimer();
    EXPECT_EQ(m_panel.done, std::vector<std::string>{"enter channel 7"});
    EXPECT_EQ(m_panel.timerMs, ControlSession::kReplyWaitMs);
    m_session.OnTimer();
    EXPECT_NE(m_panel.out[client].find(R"("error":"no-reply")"), std::string::npos);

    m_panel.out.clear();
    m_session.Receive(client, Request(R"("cmd":"get","what":"power","fresh":true)"));
    m_session.OnPortClosed(PortClosure::Gone);
    EXPECT_NE(m_panel.out[client].find(R"("error":"port-gone")"), std::string::npos);
    EXPECT_EQ(m_panel.timerMs, 0);
}

}  // namespace
