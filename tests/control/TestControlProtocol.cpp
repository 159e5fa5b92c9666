// Requests on the control socket: what is accepted, and that everything else is refused with
// a reason rather than half read.
#include <gtest/gtest.h>

#include <string>

#include "ControlProtocol.h"

namespace {

TEST(ControlProtocol, ValidRequestsAreReadInFull) {
    const struct {
        const char* name;
        std::string line;
        ControlCommand command;
        std::optional<Quantity> quantity;
        bool fresh;
        std::string text;
    } rows[] = {
        {"hello", R"({"v":1,"cmd":"hello"})", ControlCommand::Hello, std::nullopt, false, ""},
        {"get all", R"({"v":1,"cmd":"get"})", ControlCommand::Get, std::nullopt, false, ""},
        {"get fresh power", R"({"cmd":"get","what":"power","fresh":true,"v":1})",
         ControlCommand::Get, Quantity::Power, true, ""},
        {"set channel number", R"({"v":1,"cmd":"set","what":"channel","value":45})",
         ControlCommand::Set, Quantity::Channel, false, "45"},
        {"set power as typed", R"({"v":1,"cmd":"set","what":"power","value":"8.2"})",
         ControlCommand::Set, Quantity::Power, false, "8.2"},
        {"set output bool", R"({"v":1,"cmd":"set","what":"output","value":false})",
         ControlCommand::Set, Quantity::Output, false, "off"},
        {"set output word", R"({"v":1,"cmd":"set","what":"output","value":"on"})",
         ControlCommand::Set, Quantity::Output, false, "on"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ControlRequest request;
        std::string error;
        ASSERT_TRUE(ParseControlRequest(row.line, request, error)) << error;
        EXPECT_EQ(request.command, row.command);
        EXPECT_EQ(request.quantity, row.quantity);
        EXPECT_EQ(request.fresh, row.fresh);
        EXPECT_EQ(request.text, row.text);
        // What the client writes, the panel reads back the same.
        ControlRequest again;
        ASSERT_TRUE(ParseControlRequest(FormatControlRequest(request), again, error)) << error;
        EXPECT_EQ(again.text, request.text);
    }
}

TEST(ControlProtocol, EverythingElseIsRefusedWithAReason) {
    const struct {
        const char* name;
        std::string line;
        const char* reason;
    } rows[] = {
        {"empty", "", "not JSON"},
        {"truncated", R"({"v":1,"cmd":"get")", "not JSON"},
        {"binary", std::string("\x00\xff\xfe{\x01", 5), "not JSON"},
        {"invalid utf-8 in a string", "{\"v\":1,\"cmd\":\"\xc3\x28\"}", "not JSON"},
        {"array", R"([1,2])", "JSON object"},
        {"no version", R"({"cmd":"hello"})", "\"v\": 1"},
        {"other version", R"({"v":2,"cmd":"hello"})", "\"v\": 1"},
        {"version as text", R"({"v":"1","cmd":"hello"})", "\"v\": 1"},
        {"unknown command", R"({"v":1,"cmd":"reboot"})", "unknown command"},
        {"unknown field", R"({"v":1,"cmd":"get","color":"red"})", "unknown field"},
        {"field of another command", R"({"v":1,"cmd":"hello","value":3})", "unknown field"},
        {"unknown quantity", R"({"v":1,"cmd":"get","what":"mood"})", "channel, power"},
        {"set without what", R"({"v":1,"cmd":"set","value":3})", "needs \"what\""},
        {"set without value", R"({"v":1,"cmd":"set","what":"channel"})", "needs \"value\""},
        {"value not a number", R"({"v":1,"cmd":"set","what":"power","value":"nan"})",
         "not a number"},
        {"value with a space", R"({"v":1,"cmd":"set","what":"power","value":"8 2"})",
         "not a number"},
        {"fraction as a JSON number", R"({"v":1,"cmd":"set","what":"power","value":8.2})",
         "as text"},
        {"output maybe", R"({"v":1,"cmd":"set","what":"output","value":"maybe"})", "\"on\""},
        {"fresh as text", R"({"v":1,"cmd":"get","fresh":"yes"})", "true or false"},
        {"oversize", "{\"v\":1,\"cmd\":\"hello\",\"x\":\"" + std::string(5000, 'a') + "\"}",
         "longer than 4096"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ControlRequest request;
        std::string error;
        EXPECT_FALSE(ParseControlRequest(row.line, request, error));
        EXPECT_NE(error.find(row.reason), std::string::npos) << error;
    }
}

TEST(ControlProtocol, ErrorAnswersStayJsonWhateverTheMessage) {
    const std::string line = FormatControlError(kErrBadRequest, "bad \xff byte \"quoted\"\n");
    EXPECT_EQ(line.find('\n'), std::string::npos) << "one answer, one line";
    EXPECT_EQ(line.rfind(R"({"error":"bad-request","message":"bad )", 0), 0u) << line;
}

}  // namespace
