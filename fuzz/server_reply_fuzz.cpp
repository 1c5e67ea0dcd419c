// Update server replies: the body of every request the tool makes, read the
// way each operation reads it, then the build list ordered for display and
// the image line decoded as the download does; the image line read as it
// arrives must be the one read from the whole body.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "ServerReply.h"
#include "UpdateServerRequest.h"
#include "base64.h"

namespace {

bool Clean(std::string_view text) { return text.find('\n') == std::string_view::npos; }

void Lines(std::string_view body)
{
    ServerReply::Lines lines(body);
    std::string_view line;
    size_t count = 0;
    while (lines.Next(line)) {
        FUZZ_CHECK(!line.empty() && Clean(line));
        FUZZ_CHECK(line.data() >= body.data() && line.data() + line.size() <= body.data() + body.size());
        if (count < 4)
            FUZZ_CHECK(ServerReply::Lines::At(body, count) == line);
        ++count;
    }
    FUZZ_CHECK(ServerReply::Lines::At(body, count).empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    Lines(body);
    const bool ok = ServerReply::StatusOk(body);

    std::string build = "unset", version = "unset";
    ServerReply::QueryBuild(body, build, version);
    FUZZ_CHECK(Clean(build) && Clean(version) && version.find('\r') == std::string::npos);

    const std::string_view image = ServerReply::ImageLine(body);
    FUZZ_CHECK(Clean(image));
    // Read as it arrives, cut at a point the body itself picks, the reply
    // gives the same status and image line.
    std::string streamed;
    ServerReply::ImageLineReader reader([&streamed](std::string_view piece) {
        streamed.append(piece);
        return true;
    });
    const size_t cut = size > 0 ? data[0] % (size + 1) : 0;
    if (reader.Feed(body.substr(0, cut)) && reader.Feed(body.substr(cut)))
        reader.Finish();
    FUZZ_CHECK(reader.StatusOk() == ok);
    FUZZ_CHECK(!ok || streamed == image);
    size_t decodedLength = 0;
    unsigned char* decoded = base64_decode(image.data(), image.size(), &decodedLength);
    FUZZ_CHECK(!decoded || decodedLength <= image.size() / 4 * 3);
    std::free(decoded);

    std::map<std::string, std::string> builds;
    ServerReply::BuildList(body, builds);
    for (const auto& [number, text] : builds) {
        FUZZ_CHECK(!number.empty() && Clean(number) && number.find(';') == std::string::npos);
        FUZZ_CHECK(Clean(text) && text.find(';') == std::string::npos);
    }
    const auto sorted = UpdateServerRequest::SortBuildsByVersion(builds);
    FUZZ_CHECK(sorted.size() == builds.size());
    for (const auto& entry : sorted)
        FUZZ_CHECK(builds.count(entry.first) == 1 && builds.at(entry.first) == entry.second);
    for (const auto& [number, text] : builds)
        (void)UpdateServerRequest::SplitTessalumaVersion(text);

    uint32_t serial = 0x5E5E5E5E, latest = 0xB0B0B0B0;
    if (!ServerReply::RecoveryInfo(body, serial, latest))
        FUZZ_CHECK(serial == 0x5E5E5E5E && latest == 0xB0B0B0B0);

    std::string token = "unset";
    if (ServerReply::DeviceJWT(body, token))
        FUZZ_CHECK(token.size() >= 8 && Clean(token) && std::count(token.begin(), token.end(), '.') >= 2);
    else
        FUZZ_CHECK(token == "unset");

    // The query values the download builds from a reply must reach the
    // server as one value each.
    const std::string escaped = UpdateServerRequest::EscapeQueryValue(version);
    FUZZ_CHECK(escaped.find_first_of(" &#+=?\r\n") == std::string::npos);
    (void)ok;
    return 0;
}
