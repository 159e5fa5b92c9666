#include "HttpResponse.h"

namespace web {

std::string_view ReasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 411:
            return "Length Required";
        case 413:
            return "Content Too Large";
        case 415:
            return "Unsupported Media Type";
        case 421:
            return "Misdirected Request";
        case 422:
            return "Unprocessable Content";
        case 431:
            return "Request Header Fields Too Large";
        case 503:
            return "Service Unavailable";
        default:
            return "Error";
    }
}

std::string ResponseText(const HttpResponse& response, bool head) {
    std::string text = "HTTP/1.1 " + std::to_string(response.status) + " ";
    text += ReasonPhrase(response.status);
    text += "\r\nContent-Type: " + response.contentType +
            "\r\nContent-Length: " + std::to_string(response.body.size()) +
            // The page runs its own inline script and style and talks to us alone; no other
            // site may frame it (a click there must not be a click here) or read it from cache.
            "\r\nCache-Control: no-store"
            "\r\nX-Content-Type-Options: nosniff"
            "\r\nX-Frame-Options: DENY"
            "\r\nReferrer-Policy: no-referrer"
            "\r\nContent-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; "
            "style-src 'unsafe-inline'; connect-src 'self'; img-src 'self' data:; "
            "base-uri 'none'; form-action 'none'; frame-ancestors 'none'\r\n";
    if (!response.allow.empty()) {
        text += "Allow: " + response.allow + "\r\n";
    }
    if (response.close) {
        text += "Connection: close\r\n";
    }
    text += "\r\n";
    if (!head) {
        text += response.body;
    }
    return text;
}

std::string JsonText(const nlohmann::json& document) {
    return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

HttpResponse ErrorResponse(int status, std::string_view text, bool close) {
    return {status,
            "application/json",
            JsonText({{"ok", false}, {"error", std::string(text)}}),
            close,
            {}};
}

}  // namespace web
