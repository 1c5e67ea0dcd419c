#include "UpdateServerRequest.h"

#include "HTTPRequest.h"
#include "Log.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string_view>
#include <utility>

namespace {

using Params = std::map<std::string, std::string>;

// A reply whose lines view the body held beside them; filled in place and
// never moved, so the views stay valid.
struct Reply {
    std::optional<HTTPResponse> response;
    std::vector<std::string_view> lines;
};

std::string hex8(uint32_t value)
{
    char text[9];
    std::snprintf(text, sizeof text, "%08" PRIX32, value);
    return text;
}

// Lines end at line feeds. One carriage return before the feed belongs to the
// line ending too: a server writing CRLF must not leave "\r" at the end of a
// build number or an image line. Lines empty after that are skipped.
std::vector<std::string_view> splitLines(std::string_view body)
{
    std::vector<std::string_view> lines;
    while (!body.empty()) {
        size_t end = body.find('\n');
        std::string_view line = body.substr(0, end);
        body = end == std::string_view::npos ? std::string_view() : body.substr(end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!line.empty())
            lines.push_back(line);
    }
    return lines;
}

std::string_view untilAny(std::string_view text, const char* stops)
{
    return text.substr(0, text.find_first_of(stops));
}

int shown(std::string_view text, size_t most) { return static_cast<int>(std::min(text.size(), most)); }

// Reads the leading digits of text in the given base (0: C's automatic base).
// False for no digits, a sign, or a value beyond 32 bits.
bool parseU32(std::string_view text, int base, uint32_t& value)
{
    std::string copy(text);
    const char* begin = copy.c_str();
    while (*begin == ' ' || *begin == '\t')
        ++begin;
    if (*begin == '-' || *begin == '+')
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long number = std::strtoull(begin, &end, base);
    if (end == begin || errno == ERANGE || number > UINT32_MAX)
        return false;
    value = static_cast<uint32_t>(number);
    return true;
}

// Moves line index of the reply into out and leaves the reply without lines
// or body. An image line is nearly the whole body, so taking the body over and
// cutting it down spares a second copy of several megabytes.
void takeLine(Reply& reply, size_t index, std::string& out)
{
    const size_t begin = static_cast<size_t>(reply.lines[index].data() - reply.response->get_response().data());
    const size_t count = reply.lines[index].size();
    reply.lines.clear();
    std::string body = reply.response->take_response();
    body.resize(begin + count);
    body.erase(0, begin);
    out = std::move(body);
}

// The common request pattern: GET, status 200, first line beginning "ok".
bool exchange(const char* name, const char* url, const Params& params, Reply& reply)
{
    try {
        reply.response.emplace(HTTPRequest::GET(url ? url : UpdateServerRequest::kDefaultURL, params));
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
        return false;
    }
    const HTTPResponse& response = *reply.response;
    if (response.get_status() != 200) {
        if (std::string_view(name) == "ping")
            Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(response.get_status()),
                response.get_response().c_str());
        else
            Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name, static_cast<int>(response.get_status()),
                response.get_response().c_str());
        return false;
    }
    reply.lines = splitLines(response.get_response());
    if (reply.lines.empty() || reply.lines[0].substr(0, 2) != "ok") {
        Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request().c_str());
        return false;
    }
    return true;
}

} // namespace

bool UpdateServerRequest::ping(const char* url)
{
    Reply reply;
    return exchange("ping", url, {{"op", "hi"}, {"rv", "2"}}, reply);
}

bool UpdateServerRequest::QueryBuild(uint32_t serial, std::string& build, std::string& firmwareVersion,
    const char* url)
{
    Reply reply;
    if (!exchange("QueryBuild", url, {{"op", "qu"}, {"sn", hex8(serial)}}, reply))
        return false;
    if (reply.lines.size() > 1)
        build.assign(reply.lines[1]);
    if (reply.lines.size() > 2)
        firmwareVersion.assign(untilAny(reply.lines[2], "\r\n"));
    return true;
}

bool UpdateServerRequest::GetBuild(uint32_t serial, const std::string& firmwareVersion, const std::string& build,
    std::string& content, const char* url, bool noCalibration)
{
    Reply reply;
    Params params{{"bld", build}, {"fw", firmwareVersion}, {"no_cal", noCalibration ? "true" : "false"},
        {"op", "bird"}, {"sn", hex8(serial)}};
    if (!exchange("GetBuild", url, params, reply))
        return false;
    content.clear();
    if (reply.lines.size() > 1)
        takeLine(reply, 1, content);
    return true;
}

bool UpdateServerRequest::GetBuildList(uint32_t serial, std::map<std::string, std::string>& builds,
    const char* url)
{
    builds.clear();
    Reply reply;
    if (!exchange("GetBuildList", url, {{"op", "builds"}, {"sn", hex8(serial)}}, reply))
        return false;
    for (size_t i = 1; i < reply.lines.size(); ++i) {
        std::string_view line = reply.lines[i];
        Log::log(DEBUG_ServerComm, "%s processing entry: [%.*s]\n", "GetBuildList", static_cast<int>(line.size()),
            line.data());
        if (line.size() < 3)
            continue;
        std::string_view number = untilAny(line, ";\r\n");
        std::string_view version;
        if (number.size() < line.size() && line[number.size()] == ';')
            version = untilAny(line.substr(number.size() + 1), ";\r\n");
        Log::log(DEBUG_ServerComm, "%s [%.*s][%.*s]\n", "GetBuildList", shown(number, 10), number.data(),
            shown(version, 10), version.data());
        // A line without a build number would list a build nobody can ask for.
        if (number.empty())
            continue;
        builds.emplace(std::string(number), std::string(version));
    }
    return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const std::array<uint32_t, 4>& fingerprint, uint32_t& serial,
    uint32_t& build, const char* url)
{
    char fp[64];
    std::snprintf(fp, sizeof fp, "%08" PRIX32 "%%20%08" PRIX32 "%%20%08" PRIX32 "%%20%08" PRIX32, fingerprint[0],
        fingerprint[1], fingerprint[2], fingerprint[3]);
    Reply reply;
    if (!exchange("GetRecoveryInfo", url, {{"brief", "true"}, {"fp", fp}, {"op", "fix"}}, reply))
        return false;
    std::string_view line[3];
    for (size_t i = 0; i < 3 && i < reply.lines.size(); ++i)
        line[i] = reply.lines[i];
    Log::log(DEBUG_ServerComm, "%s [%.*s][%.*s][%.*s]\n", "GetRecoveryInfo", shown(line[0], 20), line[0].data(),
        shown(line[1], 20), line[1].data(), shown(line[2], 20), line[2].data());

    // Both lines are checked before either output is written, so a garbled
    // reply never hands back half an answer.
    uint32_t newSerial = serial;
    uint32_t newBuild = build;
    if (reply.lines.size() > 1 && !parseU32(line[1], 16, newSerial)) {
        Log::log(DEBUG_ServerComm, "GetRecoveryInfo: serial number [%.*s] is not a number\n",
            shown(line[1], 20), line[1].data());
        return false;
    }
    if (reply.lines.size() > 2 && !parseU32(line[2], 0, newBuild)) {
        Log::log(DEBUG_ServerComm, "GetRecoveryInfo: build [%.*s] is not a number\n", shown(line[2], 20),
            line[2].data());
        return false;
    }
    serial = newSerial;
    build = newBuild;
    return true;
}

bool UpdateServerRequest::GetDeviceJWT(uint32_t serial, std::string& token, const char* url)
{
    Reply reply;
    if (!exchange("GetDeviceJWT", url, {{"json", "false"}, {"op", "ent_jwt"}, {"sn", hex8(serial)}}, reply))
        return false;
    if (reply.lines.size() < 2)
        return false;
    std::string_view line = reply.lines[1];
    Log::log(DEBUG_ServerComm, "%s processing entry: [%.*s]\n", "GetDeviceJWT", static_cast<int>(line.size()),
        line.data());
    if (line.size() <= 2)
        return false;
    size_t dot1 = line.find('.');
    if (dot1 == std::string_view::npos)
        return false;
    size_t dot2 = line.find('.', dot1 + 1);
    if (dot2 == std::string_view::npos)
        return false;
    std::string_view header = line.substr(0, dot1);
    std::string_view payload = line.substr(dot1 + 1, dot2 - dot1 - 1);
    std::string_view signature = untilAny(line.substr(dot2 + 1), "\r\n");
    if (header.size() < 2 || payload.size() < 2 || signature.size() < 2)
        return false;
    token.assign(header).append(".").append(payload).append(".").append(signature);
    return true;
}
