// libFuzzer target: any bytes as one HTTP connection's stream, in pieces of any size, read by
// the web door's request reader, and each request's Host and Origin judged. Nothing may crash,
// hang or grow beyond the limits: a request taken has a body within its limit, and the bytes
// kept for later never outgrow the headers' limit plus one body.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "HostPolicy.h"
#include "HttpReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t piece = data[0] % 64 + 1;  // how the network cut the stream
    const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);
    web::OurHosts ours{{net::Address::V4(0x7F000001)}, {"localhost", "labpc", "labpc.local"}, 80};
    web::HttpReader reader;
    web::HttpRequest request;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        reader.Add(stream.substr(at, piece));
        for (web::ReadResult result = reader.Next(request); result != web::ReadResult::NeedMore;
             result = reader.Next(request)) {
            if (result != web::ReadResult::Ready) {
                return 0;  // the connection is closed after the error's answer
            }
            if (request.body.size() > web::HttpReader::kBodyLimit) {
                std::abort();
            }
            web::ParseAuthority(request.host);
            if (web::IsOurs(request.host, ours)) {
                web::IsSameOrigin(request.origin, request.host);
            }
        }
        if (reader.Buffered() > web::HttpReader::kHeaderLimit + web::HttpReader::kBodyLimit + 64) {
            std::abort();
        }
    }
    return 0;
}
