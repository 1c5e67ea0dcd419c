#include "UpdateServerRequest.h"

#include "HTTPRequest.h"
#include "Log.h"
#include "ServerReply.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string_view>
#include <utility>

namespace {

using Params = std::map<std::string, std::string>;

std::string hex8(uint32_t value)
{
    char text[9];
    std::snprintf(text, sizeof text, "%08" PRIX32, value);
    return text;
}

// The common request pattern: GET, status 200, first line beginning "ok".
// Only the status line is looked at here; each operation reads its own
// fields from the body afterwards.
bool exchange(const char* name, const char* url, const Params& params, size_t maxBody,
    std::optional<HTTPResponse>& reply)
{
    try {
        reply.emplace(HTTPRequest::GET(url ? url : UpdateServerRequest::kDefaultURL, params, maxBody));
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
        return false;
    }
    const HTTPResponse& response = *reply;
    if (response.get_status() != 200) {
        if (std::string_view(name) == "ping")
            Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(response.get_status()),
                response.get_response().c_str());
        else
            Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name, static_cast<int>(response.get_status()),
                response.get_response().c_str());
        return false;
    }
    if (!ServerReply::StatusOk(response.get_response())) {
        Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request().c_str());
        return false;
    }
    return true;
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
        // Both texts come from the server's own earlier reply and may hold
        // blanks, "&", "#" or "+": escaped, they reach the server as sent.
        Params params{{"bld", EscapeQueryValue(build)}, {"fw", EscapeQueryValue(firmwareVersion)},
            {"no_cal", noCalibration ? "true" : "false"}, {"op", "bird"}, {"sn", hex8(serial)}};
        std::optional<HTTPResponse> reply;
        if (!exchange("GetBuild", url, params, kMaxImageReplyBytes, reply))
            return false;
        content.clear();
        const std::string_view line = ServerReply::ImageLine(reply->get_response());
        if (line.empty())
            return true;
        // The image line is nearly the whole body: taking the body over and
        // cutting it down spares a second copy of several megabytes.
        const size_t begin = static_cast<size_t>(line.data() - reply->get_response().data());
        const size_t count = line.size();
        std::string body = reply->take_response();
        body.resize(begin + count);
        body.erase(0, begin);
        content = std::move(body);
        return true;
    });
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
