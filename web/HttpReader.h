// HTTP/1.1 requests out of a connection's bytes, read by Boost.Beast's parser: no I/O, so the
// connection pump feeds it whatever arrived and asks for whole requests, one at a time.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace web {

/// One request, as much of it as the server looks at.
struct HttpRequest {
    std::string method;  ///< "GET", "HEAD", "POST", ...
    std::string target;  ///< "/api/state"
    std::string host;    ///< the Host header, empty when absent
    std::string origin;  ///< the Origin header, empty when absent
    std::string contentType;
    std::string fetchSite;  ///< Sec-Fetch-Site, empty when absent
    std::string body;
    bool keepAlive = true;
};

enum class ReadResult {
    NeedMore,     ///< no whole request yet
    Ready,        ///< one request read; its bytes are gone from the buffer
    Bad,          ///< not HTTP/1.x as it should be: 400, then close
    TooLarge,     ///< headers or body over the limits: 431 or 413, then close
    Unsupported,  ///< a body sent in chunks: 411, then close
};

class HttpReader {
public:
    static constexpr std::size_t kHeaderLimit = 8 * 1024;
    static constexpr std::size_t kBodyLimit = 1024;

    HttpReader();
    ~HttpReader();
    HttpReader(const HttpReader&) = delete;
    HttpReader& operator=(const HttpReader&) = delete;

    /// Keeps `bytes` for the requests to come.
    void Add(std::string_view bytes);
    /// Reads the next request out of the bytes kept; Ready fills `request`. After Bad, TooLarge or
    /// Unsupported the connection's bytes mean nothing more.
    ReadResult Next(HttpRequest& request);
    /// Bytes kept and not yet read as a request.
    std::size_t Buffered() const { return m_buffer.size(); }
    /// After TooLarge: true when the headers were too long (431), false for the body (413).
    bool HeadersTooLarge() const { return m_headersTooLarge; }

private:
    struct Parser;
    std::string m_buffer;
    std::unique_ptr<Parser> m_parser;
    bool m_headersTooLarge = false;
};

}  // namespace web
