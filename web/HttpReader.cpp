#include "HttpReader.h"

#include <optional>

#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

namespace web {

namespace http = boost::beast::http;

// One parser per request: Beast's parser reads a single message.
struct HttpReader::Parser {
    std::optional<http::request_parser<http::string_body>> parser;
};

HttpReader::HttpReader() : m_parser(std::make_unique<Parser>()) {}
HttpReader::~HttpReader() = default;

void HttpReader::Add(std::string_view bytes) {
    m_buffer.append(bytes);
}

namespace {

std::string Field(const http::request<http::string_body>& message, http::field field) {
    const auto found = message.find(field);
    return found == message.end() ? std::string() : std::string(found->value());
}

}  // namespace

ReadResult HttpReader::Next(HttpRequest& request) {
    std::optional<http::request_parser<http::string_body>>& parser = m_parser->parser;
    if (!parser) {
        parser.emplace();
        parser->header_limit(kHeaderLimit);
        parser->body_limit(kBodyLimit);
    }
    // The parser takes the headers only whole, then the body as it comes.
    while (!m_buffer.empty() && !parser->is_done()) {
        boost::beast::error_code error;
        const std::size_t used = parser->put(boost::asio::buffer(m_buffer), error);
        m_buffer.erase(0, used);
        if (error == http::error::need_more) {
            if (m_buffer.size() > kHeaderLimit && !parser->is_header_done()) {
                m_headersTooLarge = true;
                return ReadResult::TooLarge;
            }
            return ReadResult::NeedMore;
        }
        if (error == http::error::header_limit || error == http::error::body_limit) {
            m_headersTooLarge = error == http::error::header_limit;
            return ReadResult::TooLarge;
        }
        if (error) {
            return ReadResult::Bad;
        }
        if (parser->is_header_done() && parser->chunked()) {
            return ReadResult::Unsupported;
        }
        if (used == 0) {
            break;
        }
    }
    if (!parser->is_done()) {
        return ReadResult::NeedMore;
    }
    const http::request<http::string_body>& message = parser->get();
    if (message.version() != 11 && message.version() != 10) {
        return ReadResult::Bad;
    }
    request.method = std::string(message.method_string());
    request.target = std::string(message.target());
    request.host = Field(message, http::field::host);
    request.origin = Field(message, http::field::origin);
    request.contentType = Field(message, http::field::content_type);
    request.fetchSite = Field(message, http::field::sec_fetch_site);
    request.body = message.body();
    request.keepAlive = message.keep_alive();
    // Two Host headers are two answers to "who is this for": refuse to pick one.
    if (message.count(http::field::host) != 1) {
        return ReadResult::Bad;
    }
    parser.reset();
    return ReadResult::Ready;
}

}  // namespace web
