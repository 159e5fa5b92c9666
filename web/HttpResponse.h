// The bytes of an HTTP/1.1 answer. Every answer carries the headers that keep a browser from
// sniffing, framing, caching or refering it elsewhere.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace web {

struct HttpResponse {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    bool close = false;  ///< "Connection: close": the server closes after it
    std::string allow;   ///< for 405: the methods the target takes
};

/// The reason phrase of `status` ("Not Found").
std::string_view ReasonPhrase(int status);

/// The whole answer; for `head` without the body (its length still given).
std::string ResponseText(const HttpResponse& response, bool head);

/// `document` as the body of an answer; bytes that are not UTF-8 (a client's, quoted in an
/// error) replaced, not thrown on.
std::string JsonText(const nlohmann::json& document);

/// An error answer: {"ok": false, "error": text}.
HttpResponse ErrorResponse(int status, std::string_view text, bool close = false);

}  // namespace web
