// Requests on the control socket: what is accepted, and that everything else is refused with
// a reason rather than half read.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "ControlProtocol.h"

namespace {

// How each request drives the panel is ControlSession's rows; here, what the client writes the
// panel reads back the same (an output given as a JSON boolean reads as the word), and
// everything else is refused with a reason.
TEST(ControlProtocol, RequestsSurviveTheRoundTripEverythingElseIsRefused) {
    const struct {
        const char* name;
        std::string line;
        const char* text;  // the request's text; else with '!', a piece of the refusal
    } rows[] = {
        // clang-format off
        {"output as a boolean", R"({"v":1,"cmd":"set","what":"output","value":false})", "off"},
        {"channel as a number", R"({"v":1,"cmd":"set","what":"channel","value":45})", "45"},
        {"power as text", R"({"v":1,"cmd":"set","what":"power","value":"8.2"})", "8.2"},
        {"fields in any order", R"({"cmd":"get","what":"power","fresh":true,"v":1})", ""},
        {"empty", "", "!not JSON"},
        {"truncated", R"({"v":1,"cmd":"get")", "!not JSON"},
        {"binary", std::string("\x00\xff\xfe{\x01", 5), "!not JSON"},
        {"invalid utf-8 in a string", "{\"v\":1,\"cmd\":\"\xc3\x28\"}", "!not JSON"},
        {"array", R"([1,2])", "!JSON object"},
        {"no version", R"({"cmd":"hello"})", "!\"v\": 1"},
        {"other version", R"({"v":2,"cmd":"hello"})", "!\"v\": 1"},
        {"version as text", R"({"v":"1","cmd":"hello"})", "!\"v\": 1"},
        {"unknown command", R"({"v":1,"cmd":"reboot"})", "!unknown command"},
        {"unknown field", R"({"v":1,"cmd":"get","color":"red"})", "!unknown field"},
        {"field of another command", R"({"v":1,"cmd":"hello","value":3})", "!unknown field"},
        {"unknown quantity", R"({"v":1,"cmd":"get","what":"mood"})", "!channel, power"},
        {"set without what", R"({"v":1,"cmd":"set","value":3})", "!needs \"what\""},
        {"set without value", R"({"v":1,"cmd":"set","what":"channel"})", "!needs \"value\""},
        // the strict grammar (tests/protocol): typed, "8 2" would read as 8
        {"value with a space", R"({"v":1,"cmd":"set","what":"power","value":"8 2"})", "!not a number"},
        {"fraction as a JSON number", R"({"v":1,"cmd":"set","what":"power","value":8.2})", "!as text"},
        {"output maybe", R"({"v":1,"cmd":"set","what":"output","value":"maybe"})", "!\"on\""},
        {"fresh as text", R"({"v":1,"cmd":"get","fresh":"yes"})", "!true or false"},
        {"oversize", "{\"v\":1,\"cmd\":\"hello\",\"x\":\"" + std::string(5000, 'a') + "\"}", "!longer than 4096"},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ControlRequest request, again;
        std::string error;
        const bool refused = row.text[0] == '!';
        ASSERT_EQ(ParseControlRequest(row.line, request, error), !refused) << error;
        if (refused) {
            EXPECT_NE(error.find(row.text + 1), std::string::npos) << error;
            continue;
        }
        EXPECT_EQ(request.text, row.text);
        ASSERT_TRUE(ParseControlRequest(FormatControlRequest(request), again, error)) << error;
        EXPECT_EQ(std::tie(again.command, again.quantity, again.fresh, again.text),
                  std::tie(request.command, request.quantity, request.fresh, request.text));
    }
}

TEST(ControlProtocol, ErrorAnswersStayJsonWhateverTheMessage) {
    const std::string line = FormatControlError(kErrBadRequest, "bad \xff byte \"quoted\"\n");
    EXPECT_EQ(line.find('\n'), std::string::npos) << "one answer, one line";
    EXPECT_EQ(line.rfind(R"({"error":"bad-request","message":"bad )", 0), 0u) << line;
}

}  // namespace
