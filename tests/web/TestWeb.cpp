// Which Host and Origin headers are ours, and the LXI identification document, checked by
// xmllint against tests/web/lxi-identification.xsd.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>
#include <utility>

#include "HostPolicy.h"
#include "Identification.h"

namespace {

net::Address Parsed(const char* text) {
    net::Address address;
    EXPECT_EQ(net::ParseAddress(text, address), "") << text;
    return address;
}

// What a Host header is to us: one of our names or addresses on our port, someone else's (a
// name that may have been made to resolve to us, another port), or no authority at all.
enum class Verdict { Ours, Others, Malformed };

// clang-format off
struct HostRow { const char* host; int ourPort; Verdict verdict; };
constexpr Verdict O = Verdict::Ours, X = Verdict::Others, M = Verdict::Malformed;
constexpr HostRow kHostRows[] = {
    {"localhost", 80, O}, {"LocalHost.", 80, O}, {"localhost:80", 80, O}, {"lab-pc", 80, O},
    {"LAB-PC.local", 80, O}, {"127.0.0.1", 80, O}, {"10.0.0.5", 80, O}, {"[::1]", 80, O},
    {"[::1]:80", 80, O}, {"[FD00:0::1]", 80, O}, {"[::ffff:127.0.0.1]", 80, O},
    {"localhost:8080", 8080, O}, {"[::1]:8080", 8080, O},
    {"evil.example", 80, X}, {"127.0.0.1.evil.example", 80, X}, {"localhost.evil.example", 80, X},
    {"lab-pc.evil.example", 80, X}, {"localhost:81", 80, X}, {"[::1]", 8080, X},
    {"localhost", 8080, X}, {"10.0.0.6", 80, X}, {"[fd00::2]", 80, X}, {"0.0.0.0", 80, X},
    // Loose numeric forms that some read as 127.0.0.1.
    {"0x7f.1", 80, M}, {"0x7f000001", 80, M}, {"2130706433", 80, M}, {"127.1", 80, M},
    {"127.0.0.01", 80, M}, {"0177.0.0.1", 80, M}, {"a.0x7f", 80, M},
    {"", 80, M}, {"user@localhost", 80, M}, {"localhost/", 80, M}, {"localhost:", 80, M},
    {":80", 80, M}, {" localhost", 80, M}, {"localhost :80", 80, M}, {"localhost:+80", 80, M},
    {"localhost:080", 80, M}, {"localhost:0", 80, M}, {"localhost:65536", 80, M},
    {"localhost:80:80", 80, M}, {"::1", 80, M}, {"[127.0.0.1]", 80, M}, {"[::1%25lo]", 80, M},
    {"[::1]x", 80, M}, {"[::1", 80, M}, {"localhost..", 80, M}, {".", 80, M},
    {"-lab-pc", 80, M}, {"lab_pc", 80, M}, {"lab-pc\r\nX: 1", 80, M},
};
// clang-format on

TEST(HostPolicy, TakesOnlyHostsThatNameUs) {
    EXPECT_EQ(web::ParseAuthority("[FD00::1]:8080")->host, "fd00::1");
    EXPECT_EQ(web::ParseAuthority("[FD00::1]:8080")->port, 8080);
    EXPECT_EQ(web::ParseAuthority("LocalHost.")->host, "localhost");
    EXPECT_FALSE(web::ParseAuthority("LocalHost.")->port);
    web::OurHosts ours;
    ours.addresses = {Parsed("10.0.0.5"), Parsed("127.0.0.1"), Parsed("::1"), Parsed("fd00::1")};
    ours.names = {"localhost", "lab-pc", "lab-pc.local"};
    for (const HostRow& row : kHostRows) {
        ours.port = row.ourPort;
        EXPECT_EQ(web::IsOurs(row.host, ours), row.verdict == O) << row.host << " " << row.ourPort;
        EXPECT_EQ(web::ParseAuthority(row.host).has_value(), row.verdict != M) << row.host;
    }
}

TEST(HostPolicy, TakesOnlyOurOwnPagesOrigin) {
    // clang-format off
    const struct { const char* origin; const char* host; bool same; } rows[] = {
        {"http://localhost:8080", "localhost:8080", true}, {"http://LOCALHOST", "localhost", true},
        {"http://[::1]", "[0::1]", true}, {"http://10.0.0.5", "10.0.0.5:80", true},
        {"http://localhost.", "localhost", true}, {"http://[::2]", "[::1]", false},
        {"null", "localhost", false}, {"https://localhost", "localhost", false},
        {"HTTP://localhost", "localhost", false}, {"http://localhost:81", "localhost", false},
        {"http://localhost", "localhost:8080", false}, {"http://localhost/", "localhost", false},
        {"http://evil.example", "localhost", false}, {"http://user@localhost", "localhost", false},
        {"", "localhost", false}, {"http://", "localhost", false}, {"http://localhost", "", false},
    };
    // clang-format on
    for (const auto& row : rows) {
        EXPECT_EQ(web::IsSameOrigin(row.origin, row.host), row.same)
            << row.origin << " " << row.host;
    }
}

TEST(HostPolicy, FindsTheListenAddressLoopbackAndOurNames) {
    const web::OurHosts one = web::FindOurHosts(Parsed("10.0.0.5"), 8080);
    EXPECT_EQ(one.addresses.size(), 3U);
    EXPECT_TRUE(web::IsOurs("10.0.0.5:8080", one));
    EXPECT_TRUE(web::IsOurs("[::1]:8080", one));
    EXPECT_FALSE(web::IsOurs("10.0.0.5", one));
    const web::OurHosts every = web::FindOurHosts(Parsed("::"), 80);
    EXPECT_TRUE(web::IsOurs("127.0.0.1", every));
    EXPECT_TRUE(web::IsOurs("LOCALHOST", every));
    EXPECT_FALSE(web::IsOurs("0.0.0.0", every));
    for (const std::string& name : every.names) {  // localhost, this machine's, name.local
        EXPECT_TRUE(web::IsOurs(name + ".", every)) << name;
    }
}

// What `command` prints; its exit status in `status`.
std::string Output(const std::string& command, int& status) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    char buffer[512];
    for (std::size_t n; pipe != nullptr && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        out.append(buffer, n);
    }
    status = pipe != nullptr ? ::pclose(pipe) : -1;
    return out;
}

TEST(Identification, DocumentHoldsAStrangeIdentityAndValidates) {
    const web::IdentityFields identity =
        web::SplitIdentity("Acme & \"Sons\",<Model\x01 'X'>,SN&1 ,1.0<b>,beta\r\n");
    EXPECT_EQ(identity.firmware, "1.0<b>,beta");
    EXPECT_EQ(web::SplitIdentity("Varnel,M1").serial, "");
    web::Reach reach{Parsed("fd00::1"), 5025, true, 8080};
    const std::string file =
        testing::TempDir() + "varnel-identification-" + std::to_string(::getpid()) + ".xml";
    std::ofstream(file) << web::IdentificationXml(identity, reach, "lab-pc");
    int status = -1;
    const std::string check = Output(
        "xmllint --noout --schema " VARNEL_WEB_TEST_DIR "/lxi-identification.xsd " + file + " 2>&1",
        status);
    ASSERT_EQ(status, 0) << check;
    // clang-format off
    const std::pair<const char*, const char*> fields[] = {
        {"Manufacturer", "Acme & \"Sons\""}, {"Model", "<Model 'X'>"}, {"SerialNumber", "SN&1"},
        {"FirmwareRevision", "1.0<b>,beta"}, {"UserDescription", "<Model 'X'> SN&1"},
        {"HomepageURL", "http://[fd00::1]:8080/"},
        {"IdentificationURL", "http://[fd00::1]:8080/lxi/identification"},
        {"Interface/InstrumentAddressString[1]", "TCPIP::[fd00::1]::inst0::INSTR"},
        {"Interface/InstrumentAddressString[2]", "TCPIP::[fd00::1]::5025::SOCKET"},
        {"Interface/@IPType", "IPv6"}, {"Interface/Hostname", "lab-pc"},
        {"Interface/IPAddress", "fd00::1"},
    };
    // clang-format on
    for (const auto& [path, expected] : fields) {
        // Interface/Hostname: the same steps in any namespace.
        std::string xpath = "string(/*";
        for (std::string_view rest = path; !rest.empty();) {
            const std::string step(rest.substr(0, rest.find('/')));
            rest.remove_prefix(std::min(step.size() + 1, rest.size()));
            const std::size_t name = std::min(step.find('['), step.size());
            xpath += step[0] == '@'
                         ? "/" + step
                         : "/*[local-name()='" + step.substr(0, name) + "']" + step.substr(name);
        }
        const std::string value = Output("xmllint --xpath \"" + xpath + ")\" " + file, status);
        EXPECT_EQ(value.substr(0, value.find_last_not_of('\n') + 1), expected) << path;
    }
    std::remove(file.c_str());
}

}  // namespace
