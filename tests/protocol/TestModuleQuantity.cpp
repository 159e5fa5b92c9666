// The module's vocabulary: the one decoder of its replies (every class of reply it must drop,
// the edges of each range), the one number grammar in both of its modes and the typing rule.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "ModuleQuantity.h"
#include "NumberText.h"
#include "ReplyFramer.h"

namespace {

constexpr int kDropped = -1;
constexpr std::int64_t kNo = -9;  // no number
constexpr std::int64_t kSat = kTypedSaturation;

TEST(DecodeReply, KeepsOnlyWhatAModuleSends) {
    struct Row {
        const char* name;
        CommandFrame frame;
        int value;  // kDropped: no reply at all
    };
    CommandFrame badSum = ReplyFrame(CMD_CHANNEL, 0, 45);
    badSum[5] ^= 0x80;
    const Row rows[] = {
        {"channel 1", ReplyFrame(CMD_CHANNEL, 0, 1), 1},
        {"channel 89", ReplyFrame(CMD_CHANNEL, 0, 89), 89},
        {"channel 0", ReplyFrame(CMD_CHANNEL, 0, 0), kDropped},
        {"channel 90", ReplyFrame(CMD_CHANNEL, 0, 90), kDropped},
        {"channel with a high byte", ReplyFrame(CMD_CHANNEL, 1, 4), kDropped},
        {"power 7.00", ReplyFrame(CMD_POWER, 0x02, 0xBC), 700},
        {"power 13.00", ReplyFrame(CMD_POWER, 0x05, 0x14), 1300},
        {"power 6.99", ReplyFrame(CMD_POWER, 0x02, 0xBB), kDropped},
        {"power 13.01", ReplyFrame(CMD_POWER, 0x05, 0x15), kDropped},
        {"power 645.13", ReplyFrame(CMD_POWER, 0xFC, 0x01), kDropped},
        {"output off", ReplyFrame(CMD_OUTPUT, 0, 0), 0},
        {"output on", ReplyFrame(CMD_OUTPUT, 1, 1), 1},
        {"output half on", ReplyFrame(CMD_OUTPUT, 1, 0), kDropped},
        {"output two", ReplyFrame(CMD_OUTPUT, 2, 2), kDropped},
        {"unknown command", ReplyFrame(4, 0, 1), kDropped},
        {"set header", MakeFrame(FrameKind::Set, CMD_CHANNEL, 0, 45), kDropped},
        {"query header", MakeFrame(FrameKind::Query, CMD_CHANNEL, 0, 45), kDropped},
        {"bad checksum", badSum, kDropped},
    };
    for (const Row& row : rows) {
        const std::optional<ModuleReply> reply = DecodeReply(row.frame);
        EXPECT_EQ(reply ? reply->value : kDropped, row.value) << row.name;
        if (reply) {
            EXPECT_EQ(QuantityCommand(reply->quantity), row.frame[2]) << row.name;
        }
    }
}

// Every reply a module can send, behind every single stray byte: whatever the framer hands
// over, the decoder keeps only the reply itself. Every front end reads its replies this way.
TEST(DecodeReply, NoStrayByteForgesAReply) {
    std::vector<CommandFrame> replies{ReplyFrame(CMD_OUTPUT, 0, 0), ReplyFrame(CMD_OUTPUT, 1, 1)};
    for (int channel = kChannelMin; channel <= kChannelMax; ++channel) {
        replies.push_back(ReplyFrame(CMD_CHANNEL, 0, channel));
    }
    for (int power = kPowerMin; power <= kPowerMax; ++power) {
        replies.push_back(ReplyFrame(CMD_POWER, power >> 8, power & 0xFF));
    }
    for (const CommandFrame& reply : replies) {
        const std::optional<ModuleReply> genuine = DecodeReply(reply);
        ASSERT_TRUE(genuine);
        for (int stray = 0; stray <= 0xFF; ++stray) {
            ReplyFramer framer;
            framer.Feed(static_cast<std::uint8_t>(stray));
            for (std::uint8_t byte : reply) {
                const auto frame = framer.Feed(byte);
                const auto decoded = frame ? DecodeReply(*frame) : std::nullopt;
                if (decoded &&
                    (decoded->quantity != genuine->quantity || decoded->value != genuine->value)) {
                    ADD_FAILURE() << "stray " << stray << " ahead of " << int(reply[2]) << " "
                                  << int(reply[3]) << " " << int(reply[4]) << " gives "
                                  << decoded->value;
                }
            }
        }
    }
}

// Typed: what the panel reads from its entry fields (as atof would). Strict: what scripts may
// give varnel-ctl and the control socket. Values unclamped: channels, hundredths of a dBm.
TEST(NumberText, TypedAndStrict) {
    struct Row {
        const char* name;
        Quantity quantity;
        std::string text;
        std::int64_t typed, strict;
    };
    constexpr Quantity kCh = Quantity::Channel, kPw = Quantity::Power;
    // clang-format off
    const Row rows[] = {
        {"ch whole", kCh, "45", 45, 45},                {"ch fraction", kCh, "12.7", 12, kNo},
        {"ch zero", kCh, "0", 0, 0},                    {"ch negative", kCh, "-5", -5, -5},
        {"ch space and tail", kCh, " 42x", 42, kNo},    {"ch exponent", kCh, "4.5e1", 45, kNo},
        {"ch bare exponent", kCh, "7e", 7, kNo},        {"ch huge", kCh, "1e999", kSat, kNo},
        {"ch inf", kCh, "inf", kSat, kNo},              {"ch zero fraction", kCh, ".0", 0, kNo},
        {"ch 1000 digits", kCh, std::string(1000, '9'), kSat, kSat},
        {"ch empty", kCh, "", kNo, kNo},                {"ch nan", kCh, "nan", kNo, kNo},
        {"ch lone minus", kCh, "-", kNo, kNo},          {"ch space", kCh, " ", kNo, kNo},
        {"ch word", kCh, "hello", kNo, kNo},            {"ch dot", kCh, ".", kNo, kNo},
        {"ch pasted words", kCh, "channel 5", kNo, kNo},
        {"ch emoji", kCh, "\xF0\x9F\x98\x80", kNo, kNo},
        {"ch full-width", kCh, "\xEF\xBC\x94\xEF\xBC\x95", kNo, kNo},
        {"ch Arabic-Indic", kCh, "\xD9\xA4\xD9\xA5", kNo, kNo},
        {"pw half", kPw, "7.5", 750, 750},              {"pw third decimal", kPw, "8.205", 820, 820},
        {"pw exact 8.2", kPw, "8.2", 820, 820},         {"pw exact 10.01", kPw, "10.01", 1001, 1001},
        {"pw exponent", kPw, "1e1", 1000, 1000},        {"pw trailing point", kPw, "5.", 500, 500},
        {"pw signed point", kPw, "+.5", 50, 50},        {"pw huge neg", kPw, "-1e999", -kSat, -kSat},
        {"pw minus inf", kPw, "-inf", -kSat, kNo},      {"pw tiny", kPw, "1e-999", 0, 0},
        {"pw comma", kPw, "8,2", 800, kNo},             {"pw unit", kPw, "8.2dBm", 820, kNo},
        {"pw inner space", kPw, "8 2", 800, kNo},       {"pw nan", kPw, "-nan", kNo, kNo},
        {"pw sign only", kPw, "+", kNo, kNo},           {"pw empty exponent", kPw, "1e+", 100, kNo},
        {"pw nines truncate", kPw, "12.349999999999", 1234, 1234},
        {"pw long zero fraction", kPw, "0." + std::string(998, '0') + "1234e1000", 1234, 1234},
    };
    // clang-format on
    for (const Row& row : rows) {
        for (const auto& [grammar, expected] : {std::pair{NumberGrammar::Typed, row.typed},
                                                std::pair{NumberGrammar::Strict, row.strict}}) {
            EXPECT_EQ(ReadQuantityText(row.quantity, row.text, grammar).value_or(kNo), expected)
                << row.name << (grammar == NumberGrammar::Typed ? " typed" : " strict");
        }
    }
}

// What both panels' entry fields let through as typed, whatever the caret or selection.
TEST(NumberText, TypingRule) {
    const std::tuple<char32_t, const char*, bool> rows[] = {
        {U'7', "12", true},  {U'\b', "-", true},    {U'\b', ".", true},  {U'-', "", true},
        {U'-', "12", false}, {U'-', "-", false},    {U'.', "", false},   {U'.', "-", true},
        {U'.', "5", true},   {U'.', "12.5", false}, {U'.', "-.", false}, {U'a', "", false},
        {U'Z', "1", false},  {U'e', "1", false},    {U'+', "", false},   {U',', "1", false},
        {U' ', "1", false},  {U'\r', "1", false},   {U'\t', "1", false}, {U'\x1b', "1", false},
        {0xFF11, "", false}, {0xD83D, "", false},  // a full-width digit, half an emoji
    };
    for (const auto& [typed, text, accepted] : rows) {
        EXPECT_EQ(AcceptsTypedChar(typed, text), accepted)
            << static_cast<unsigned>(typed) << " into \"" << text << "\"";
    }
}

}  // namespace
