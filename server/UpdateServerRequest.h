// The requests the tool makes of the update server, and their line-based
// replies. Every operation blocks for one HTTP request, keeps no state, takes
// the server's base URL last (null: kDefaultURL) and never throws: a failure
// of any kind is a false result and a log line.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

class UpdateServerRequest {
public:
    static constexpr const char* kDefaultURL = "http://updates.tessaluma.example/cgi/u";

    // The most any reply body may hold; a longer one fails the request before
    // more of it is kept. The largest real image is a few MiB, which base64
    // makes a third larger: 32 MiB leaves room for several times that. Every
    // other reply is a few lines.
    static constexpr size_t kMaxImageReplyBytes = 32u * 1024 * 1024;
    static constexpr size_t kMaxTextReplyBytes = 1024u * 1024;

    // value percent-encoded for a query: every byte but letters, digits and
    // "-._~" becomes "%XX" (upper-case hexadecimal).
    static std::string EscapeQueryValue(const std::string& value);

    // True when the server answers 200 with an "ok" line.
    static bool ping(const char* url = nullptr);

    // The build the server recommends: its number text and firmware version
    // text, each written only when the reply carries it.
    static bool QueryBuild(uint32_t serial, std::string& build, std::string& firmwareVersion,
        const char* url = nullptr);

    // The base64 text of one firmware image. After an "ok" status the output
    // is emptied, then set from the image line when there is one; a failed
    // request leaves it untouched.
    static bool GetBuild(uint32_t serial, const std::string& firmwareVersion, const std::string& build,
        std::string& content, const char* url = nullptr, bool noCalibration = false);

    // How a download of an image as it arrives ended.
    enum class ImageResult {
        Written,    // an "ok" reply; its image line (if any) decoded and handed on whole
        Failed,     // the request failed: transport, status or status line (logged)
        NotBase64,  // the image line is not base64
        NotWritten, // the writer refused a piece
    };
    // Takes decoded image bytes as they arrive; false stops the download.
    using ImageWriter = std::function<bool(const unsigned char* bytes, size_t length)>;

    // GetBuild's request with the image decoded from the reply as it arrives
    // and handed to write, so that it is never held whole. imageBytes counts
    // the bytes write took; it is 0 when the reply holds no image line.
    static ImageResult GetBuildImage(uint32_t serial, const std::string& firmwareVersion, const std::string& build,
        const ImageWriter& write, uint64_t& imageBytes, const char* url = nullptr, bool noCalibration = false);

    // The builds offered for the device, build number text to version text.
    // The map is emptied first; a build listed twice keeps its first version.
    static bool GetBuildList(uint32_t serial, std::map<std::string, std::string>& builds,
        const char* url = nullptr);

    // Serial number and build to recover a chip known only by its four
    // identifier words. Each output is written only when its line is present.
    static bool GetRecoveryInfo(const std::array<uint32_t, 4>& fingerprint, uint32_t& serial, uint32_t& build,
        const char* url = nullptr);

    // The device's entitlement token (three dot-separated parts), passed on
    // undecoded. The output is left unchanged unless the token is well formed.
    static bool GetDeviceJWT(uint32_t serial, std::string& token, const char* url = nullptr);

    // Newest version first; see BuildOrder.cpp.
    static std::vector<std::pair<std::string, std::string>> SortBuildsByVersion(
        const std::map<std::string, std::string>& builds);

    // "2.1.0" gives {"2", "1", "0"}; anything without exactly three parts
    // gives an empty result.
    static std::vector<std::string> SplitTessalumaVersion(const std::string& version);
};
