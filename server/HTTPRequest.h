// One blocking HTTP(S) GET through libcurl, and what it brings back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>

class HTTPResponse {
public:
    explicit HTTPResponse(std::string request);

    const std::string& get_request() const { return request; }
    int64_t get_status() const { return status; }
    // The body as received; may hold NUL bytes, so use its size().
    const std::string& get_response() const { return response; }

    void set_status(int64_t code) { status = code; }
    // The size the server announced, so that a large body lands in one
    // allocation; a size that cannot be reserved is only a lost shortcut.
    void expect_size(size_t length);
    // Appends one received piece to the body.
    void process(const char* data, size_t length);

private:
    std::string request;
    int64_t status = 0;
    std::string response;
};

class HTTPRequest {
public:
    // A server that cannot be reached fails the request instead of waiting on
    // the system's TCP time-out.
    static constexpr long kConnectTimeoutSeconds = 10;
    // A transfer that moves less than kStallBytesPerSecond for kStallSeconds in
    // a row is aborted, so a peer that accepts and never answers cannot hang
    // the tool. A firmware image trickling in slowly is still fine.
    static constexpr long kStallBytesPerSecond = 1;
    static constexpr long kStallSeconds = 60;
    // Environment variable that shortens (or lengthens) the stall time for
    // tests that run the built program: a positive decimal number of seconds.
    static constexpr const char* kStallSecondsEnv = "UPDATER_HTTP_STALL_SECONDS";

    // A body longer than this (by default) fails the request: a server must
    // not be able to make the tool hold whatever it sends.
    static constexpr size_t kDefaultMaxBodyBytes = 32u * 1024 * 1024;
    // The receive buffer of a streamed reply.
    static constexpr long kStreamBufferBytes = 100 * 1024;

    // Performs the GET of BuildURL(url, parameters). Throws std::runtime_error
    // on any transport failure, and when the body announces or reaches more
    // than maxBody bytes (nothing beyond that is kept); an HTTP error status
    // is returned, not thrown.
    static HTTPResponse GET(const std::string& url, const std::map<std::string, std::string>& parameters,
        size_t maxBody = kDefaultMaxBodyBytes);

    // Takes the body of a reply with status 200 piece by piece as it arrives;
    // false stops the transfer.
    using BodySink = std::function<bool(const char* data, size_t length)>;
    // The same GET, but the body of a 200 reply goes to sink as it arrives and
    // is not kept (the response's body stays empty); the body of any other
    // status is kept as usual. A transfer the sink stopped throws like a
    // transport failure: the sink knows why it stopped.
    static HTTPResponse GET(const std::string& url, const std::map<std::string, std::string>& parameters,
        const BodySink& sink, size_t maxBody = kDefaultMaxBodyBytes);

    // url, then "?" and "key=value&" per entry in ascending key order; the
    // url unchanged for an empty map. Nothing is percent-encoded.
    static std::string BuildURL(const std::string& url, const std::map<std::string, std::string>& parameters);

    // Stall time in seconds used by GET: the value given to SetStallSeconds
    // when positive, else the environment variable when it is a positive
    // number, else kStallSeconds.
    static long StallSeconds();
    // For tests in this process; 0 or less returns to the default rule.
    static void SetStallSeconds(long seconds);

private:
    // Both GETs: a null stream keeps every body.
    static HTTPResponse Perform(const std::string& url, const std::map<std::string, std::string>& parameters,
        const BodySink* stream, size_t maxBody);
};
