#include "UpdateServerRequest.h"

#include "HTTPRequest.h"
#include "Log.h"
#include "ServerReply.h"
#include "base64.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using Params = std::map<std::string, std::string>;

std::string hex8(uint32_t value)
{
    char text[9];
    std::snprintf(text, sizeof text, "%08" PRIX32, value);
    return text;
}

const char* baseUrl(const char* url) { return url ? url : UpdateServerRequest::kDefaultURL; }

// A reply is taken when its status is 200 and its status line begins "ok";
// a refusal is logged here.
bool accepted(const char* name, const HTTPResponse& response, bool statusLineOk)
{
    if (response.get_status() != 200) {
        if (std::string_view(name) == "ping")
            Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(response.get_status()),
                response.get_response().c_str());
        else
            Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name, static_cast<int>(response.get_status()),
                response.get_response().c_str());
        return false;
    }
    if (!statusLineOk) {
        Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request().c_str());
        return false;
    }
    return true;
}

// The common request pattern: GET, status 200, first line beginning "ok".
// Only the status line is looked at here; each operation reads its own
// fields from the body afterwards.
bool exchange(const char* name, const char* url, const Params& params, size_t maxBody,
    std::optional<HTTPResponse>& reply)
{
    try {
        reply.emplace(HTTPRequest::GET(baseUrl(url), params, maxBody));
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
        return false;
    }
    return accepted(name, *reply, ServerReply::StatusOk(reply->get_response()));
}

enum class Streamed { Failed, Refused, Done };

// GetBuild's request, its reply read by reader as it arrives. Refused: the
// reader's sink stopped it.
Streamed streamBuild(uint32_t serial, const std::string& firmwareVersion, const std::string& build, const char* url,
    bool noCalibration, ServerReply::ImageLineReader& reader)
{
    // Both texts come from the server's own earlier reply and may hold
    // blanks, "&", "#" or "+": escaped, they reach the server as sent.
    const Params params{{"bld", UpdateServerRequest::EscapeQueryValue(build)},
        {"fw", UpdateServerRequest::EscapeQueryValue(firmwareVersion)},
        {"no_cal", noCalibration ? "true" : "false"}, {"op", "bird"}, {"sn", hex8(serial)}};
    const std::string request = HTTPRequest::BuildURL(baseUrl(url), params);
    std::optional<HTTPResponse> reply;
    try {
        reply.emplace(HTTPRequest::GET(baseUrl(url), params,
            [&reader](const char* data, size_t length) { return reader.Feed(std::string_view(data, length)); },
            UpdateServerRequest::kMaxImageReplyBytes));
    } catch (const std::exception& e) {
        if (reader.SinkRefused())
            return Streamed::Refused;
        if (reader.StatusRefused()) {
            // Only the body of a 200 reply is read as it comes.
            HTTPResponse refused(request);
            refused.set_status(200);
            accepted("GetBuild", refused, false);
            return Streamed::Failed;
        }
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", "GetBuild", e.what());
        return Streamed::Failed;
    }
    reader.Finish();
    return accepted("GetBuild", *reply, reader.StatusOk()) ? Streamed::Done : Streamed::Failed;
}

// Runs one operation so that nothing it throws (memory running out while a
// field is copied, say) reaches the caller: the failure is logged and the
// operation fails like any other.
template <typename Body>
bool guarded(const char* name, Body body)
{
    try {
        return body();
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
    } catch (...) {
        Log::log(DEBUG_ServerComm, "%s ==> [unknown exception]\n", name);
    }
    return false;
}

} // namespace

std::string UpdateServerRequest::EscapeQueryValue(const std::string& value)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string escaped;
    escaped.reserve(value.size());
    for (unsigned char c : value) {
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')
            || c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            escaped += static_cast<char>(c);
        } else {
            escaped += '%';
            escaped += kHex[c >> 4];
            escaped += kHex[c & 0xF];
        }
    }
    return escaped;
}

bool UpdateServerRequest::ping(const char* url)
{
    return guarded("ping", [&] {
        std::optional<HTTPResponse> reply;
        return exchange("ping", url, {{"op", "hi"}, {"rv", "2"}}, kMaxTextReplyBytes, reply);
    });
}

bool UpdateServerRequest::QueryBuild(uint32_t serial, std::string& build, std::string& firmwareVersion,
    const char* url)
{
    return guarded("QueryBuild", [&] {
        std::optional<HTTPResponse> reply;
        if (!exchange("QueryBuild", url, {{"op", "qu"}, {"sn", hex8(serial)}}, kMaxTextReplyBytes, reply))
            return false;
        ServerReply::QueryBuild(reply->get_response(), build, firmwareVersion);
        return true;
    });
}

bool UpdateServerRequest::GetBuild(uint32_t serial, const std::string& firmwareVersion, const std::string& build,
    std::string& content, const char* url, bool noCalibration)
{
    return guarded("GetBuild", [&] {
        std::string text;
        ServerReply::ImageLineReader reader([&text](std::string_view piece) {
            text.append(piece);
            return true;
        });
        if (streamBuild(serial, firmwareVersion, build, url, noCalibration, reader) != Streamed::Done)
            return false;
        content = std::move(text);
        return true;
    });
}

UpdateServerRequest::ImageResult UpdateServerRequest::GetBuildImage(uint32_t serial,
    const std::string& firmwareVersion, const std::string& build, const ImageWriter& write, uint64_t& imageBytes,
    const char* url, bool noCalibration)
{
    imageBytes = 0;
    ImageResult result = ImageResult::Failed;
    guarded("GetBuild", [&] {
        Base64Decoder decoder;
        std::vector<unsigned char> bytes;
        bool writeRefused = false;
        ServerReply::ImageLineReader reader([&](std::string_view text) {
            bytes.resize(Base64Decoder::MaxDecoded(text.size()));
            size_t decoded = 0;
            if (!decoder.Feed(text.data(), text.size(), bytes.data(), &decoded))
                return false;
            if (decoded > 0 && !write(bytes.data(), decoded)) {
                writeRefused = true;
                return false;
            }
            imageBytes += decoded;
            return true;
        });
        const Streamed streamed = streamBuild(serial, firmwareVersion, build, url, noCalibration, reader);
        if (streamed == Streamed::Failed)
            result = ImageResult::Failed;
        else if (writeRefused)
            result = ImageResult::NotWritten;
        else
            result = streamed == Streamed::Done && decoder.Complete() ? ImageResult::Written : ImageResult::NotBase64;
        if (result == ImageResult::NotBase64)
            Log::log(DEBUG_ServerComm, "GetBuild: the image line is not base64\n");
        return true;
    });
    return result;
}

bool UpdateServerRequest::GetBuildList(uint32_t serial, std::map<std::string, std::string>& builds,
    const char* url)
{
    builds.clear();
    return guarded("GetBuildList", [&] {
        std::optional<HTTPResponse> reply;
        if (!exchange("GetBuildList", url, {{"op", "builds"}, {"sn", hex8(serial)}}, kMaxTextReplyBytes, reply))
            return false;
        ServerReply::BuildList(reply->get_response(), builds);
        return true;
    });
}

bool UpdateServerRequest::GetRecoveryInfo(const std::array<uint32_t, 4>& fingerprint, uint32_t& serial,
    uint32_t& build, const char* url)
{
    return guarded("GetRecoveryInfo", [&] {
        char fp[64];
        std::snprintf(fp, sizeof fp, "%08" PRIX32 "%%20%08" PRIX32 "%%20%08" PRIX32 "%%20%08" PRIX32,
            fingerprint[0], fingerprint[1], fingerprint[2], fingerprint[3]);
        std::optional<HTTPResponse> reply;
        if (!exchange("GetRecoveryInfo", url, {{"brief", "true"}, {"fp", fp}, {"op", "fix"}}, kMaxTextReplyBytes,
                reply))
            return false;
        return ServerReply::RecoveryInfo(reply->get_response(), serial, build);
    });
}

bool UpdateServerRequest::GetDeviceJWT(uint32_t serial, std::string& token, const char* url)
{
    return guarded("GetDeviceJWT", [&] {
        std::optional<HTTPResponse> reply;
        if (!exchange("GetDeviceJWT", url, {{"json", "false"}, {"op", "ent_jwt"}, {"sn", hex8(serial)}},
                kMaxTextReplyBytes, reply))
            return false;
        return ServerReply::DeviceJWT(reply->get_response(), token);
    });
}
