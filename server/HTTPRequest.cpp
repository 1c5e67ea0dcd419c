#include "HTTPRequest.h"

#include "Log.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <new>
#include <stdexcept>
#include <utility>

namespace {

std::atomic<long> stallOverride{0};

// What the write callback is given: the response, the handle to learn the
// announced size and the status from, the most the body may hold, and the
// caller's sink for the body of a 200 reply, if any.
struct Sink {
    HTTPResponse* response;
    CURL* curl;
    size_t maxBody;
    const HTTPRequest::BodySink* stream = nullptr;
    bool sized = false;
    bool streaming = false;
    bool tooLarge = false;
    size_t received = 0;
};

// libcurl's implicit global set-up is not thread-safe; doing it once here
// lets the first request come from any thread.
void globalInit()
{
    static std::once_flag once;
    std::call_once(once, [] {
        CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT);
        if (rc != CURLE_OK)
            Log::log(DEBUG_ServerComm, "curl_global_init failed: %s\n", curl_easy_strerror(rc));
    });
}

size_t rcv_data(char* data, size_t size, size_t count, void* user)
{
    auto* sink = static_cast<Sink*>(user);
    size_t length = size * count;
    int shown = static_cast<int>(std::min<size_t>(length, 100));
    Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.*s]\n", static_cast<int>(size),
        static_cast<int>(count), static_cast<unsigned>(reinterpret_cast<uintptr_t>(user)), shown, data);
    if (!sink->sized) {
        sink->sized = true;
        long status = 0;
        sink->streaming = sink->stream != nullptr
            && curl_easy_getinfo(sink->curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
        curl_off_t announced = -1;
        if (!sink->streaming
            && curl_easy_getinfo(sink->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK
            && announced > 0 && static_cast<uint64_t>(announced) <= sink->maxBody)
            sink->response->expect_size(static_cast<size_t>(announced));
    }
    // A body without an announced length (chunked, or ended by closing) is
    // only known to be too long once it is: stop at the bound.
    if (length > sink->maxBody - sink->received) {
        sink->tooLarge = true;
        Log::log(DEBUG_ServerComm, "rcv_data: reply longer than %zu bytes refused\n", sink->maxBody);
        return 0;
    }
    sink->received += length;
    if (sink->streaming) {
        bool taken = false;
        try {
            taken = (*sink->stream)(data, length);
        } catch (...) {
            Log::log(DEBUG_ServerComm, "rcv_data: the reply's reader failed after %zu bytes\n", sink->received);
        }
        Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", taken ? static_cast<int>(length) : 0);
        return taken ? length : 0;
    }
    try {
        sink->response->process(data, length);
    } catch (const std::bad_alloc&) {
        // Returning short makes libcurl abort the transfer with a write error.
        Log::log(DEBUG_ServerComm, "rcv_data out of memory after %zu bytes\n",
            sink->response->get_response().size());
        return 0;
    }
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(length));
    return length;
}

// Owns the easy handle so every exit path frees it.
struct EasyHandle {
    CURL* curl = curl_easy_init();
    ~EasyHandle()
    {
        if (curl)
            curl_easy_cleanup(curl);
    }
    EasyHandle() = default;
    EasyHandle(const EasyHandle&) = delete;
    EasyHandle& operator=(const EasyHandle&) = delete;
};

CURLcode configure(CURL* curl, const std::string& url, Sink* sink, size_t maxBody)
{
    CURLcode rc = CURLE_OK;
    auto set = [&](CURLoption option, auto value) {
        if (rc == CURLE_OK)
            rc = curl_easy_setopt(curl, option, value);
    };
    set(CURLOPT_WRITEFUNCTION, &rcv_data);
    set(CURLOPT_WRITEDATA, static_cast<void*>(sink));
    set(CURLOPT_URL, url.c_str());
    set(CURLOPT_SSL_VERIFYHOST, 2L);
    set(CURLOPT_SSL_VERIFYPEER, 1L);
    if (rc == CURLE_OK) {
        // Off is libcurl's default; a TLS back end without stapling support
        // refuses the option even when asked to keep it off.
        CURLcode status = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYSTATUS, 0L);
        if (status != CURLE_OK && status != CURLE_NOT_BUILT_IN && status != CURLE_UNKNOWN_OPTION)
            rc = status;
    }
    // The download runs on a worker thread; time-outs must not use signals.
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_CONNECTTIMEOUT, HTTPRequest::kConnectTimeoutSeconds);
    set(CURLOPT_LOW_SPEED_LIMIT, HTTPRequest::kStallBytesPerSecond);
    set(CURLOPT_LOW_SPEED_TIME, HTTPRequest::StallSeconds());
    // Refuses an announced length over the bound before any of the body comes.
    set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBody));
    // A streamed reply is an image of megabytes: taking it in larger pieces
    // costs a tenth of the reads and reader calls of libcurl's 16 KiB.
    if (sink->stream)
        set(CURLOPT_BUFFERSIZE, HTTPRequest::kStreamBufferBytes);
    return rc;
}

} // namespace

HTTPResponse::HTTPResponse(std::string url) : request(std::move(url)) {}

void HTTPResponse::expect_size(size_t length)
{
    if (!response.empty())
        return;
    try {
        response.reserve(length);
    } catch (const std::bad_alloc&) {
    }
}

void HTTPResponse::process(const char* data, size_t length)
{
    if (length > 0)
        response.append(data, length);
}

std::string HTTPRequest::BuildURL(const std::string& url, const std::map<std::string, std::string>& parameters)
{
    std::string full = url;
    if (!parameters.empty()) {
        full += '?';
        for (const auto& [key, value] : parameters) {
            full += key;
            full += '=';
            full += value;
            full += '&';
        }
    }
    return full;
}

long HTTPRequest::StallSeconds()
{
    long given = stallOverride.load();
    if (given > 0)
        return given;
    if (const char* text = std::getenv(kStallSecondsEnv)) {
        char* end = nullptr;
        errno = 0;
        long seconds = std::strtol(text, &end, 10);
        if (errno == 0 && end != text && *end == '\0' && seconds > 0)
            return seconds;
        Log::log(DEBUG_ServerComm, "Ignoring %s=%s: not a positive number of seconds\n", kStallSecondsEnv, text);
    }
    return kStallSeconds;
}

void HTTPRequest::SetStallSeconds(long seconds) { stallOverride.store(seconds > 0 ? seconds : 0); }

HTTPResponse HTTPRequest::GET(const std::string& url, const std::map<std::string, std::string>& parameters,
    size_t maxBody)
{
    return Perform(url, parameters, nullptr, maxBody);
}

HTTPResponse HTTPRequest::GET(const std::string& url, const std::map<std::string, std::string>& parameters,
    const BodySink& sink, size_t maxBody)
{
    return Perform(url, parameters, &sink, maxBody);
}

HTTPResponse HTTPRequest::Perform(const std::string& url, const std::map<std::string, std::string>& parameters,
    const BodySink* stream, size_t maxBody)
{
    globalInit();
    EasyHandle handle;
    HTTPResponse response(BuildURL(url, parameters));
    if (!handle.curl)
        throw std::runtime_error("Could not create curl instance");

    Sink sink{&response, handle.curl, maxBody, stream};
    CURLcode rc = configure(handle.curl, response.get_request(), &sink, maxBody);
    if (rc == CURLE_OK) {
        Log::log(DEBUG_ServerComm, "GET(%s)\n", response.get_request().c_str());
        rc = curl_easy_perform(handle.curl);
    }
    long code = 0;
    if (rc == CURLE_OK)
        rc = curl_easy_getinfo(handle.curl, CURLINFO_RESPONSE_CODE, &code);
    if (sink.tooLarge || rc == CURLE_FILESIZE_EXCEEDED)
        throw std::runtime_error("Reply larger than " + std::to_string(maxBody) + " bytes refused");
    if (rc != CURLE_OK)
        throw std::runtime_error(curl_easy_strerror(rc));
    response.set_status(code);
    return response;
}
