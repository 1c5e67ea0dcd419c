#include "ServerReply.h"

#include "Log.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace ServerReply {

namespace {

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

}  // namespace

bool Lines::Next(std::string_view& line)
{
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!line.empty())
            return true;
    }
    line = {};
    return false;
}

std::string_view Lines::At(std::string_view body, size_t index)
{
    Lines lines(body);
    std::string_view line;
    for (size_t i = 0; i <= index; ++i)
        if (!lines.Next(line))
            return {};
    return line;
}

bool StatusOk(std::string_view body) { return Lines::At(body, 0).substr(0, 2) == "ok"; }

void QueryBuild(std::string_view body, std::string& build, std::string& firmwareVersion)
{
    Lines lines(body);
    std::string_view line;
    lines.Next(line);
    if (!lines.Next(line))
        return;
    build.assign(line);
    if (lines.Next(line))
        firmwareVersion.assign(untilAny(line, "\r\n"));
}

std::string_view ImageLine(std::string_view body) { return Lines::At(body, 1); }

bool ImageLineReader::Emit(std::string_view text)
{
    if (!text.empty() && !sink(text))
        refused = true;
    return !refused;
}

// A line ends at a line feed; one carriage return before the feed belongs to
// the ending. A line of nothing else is empty and does not count.
void ImageLineReader::EndLine()
{
    const bool empty = lineLength == 0 || (lineLength == 1 && heldReturn);
    heldReturn = false;
    lineLength = 0;
    if (!empty && state == State::Status)
        state = first[0] == 'o' && first[1] == 'k' ? State::Between : State::Refused;
}

bool ImageLineReader::Feed(std::string_view piece)
{
    for (size_t i = 0; i < piece.size() && state != State::Refused && state != State::Done && !refused;) {
        if (state == State::Image) {
            // Everything up to the next line feed is image text, less a
            // carriage return right before the feed.
            const size_t feed = piece.find('\n', i);
            std::string_view text = piece.substr(i, feed == std::string_view::npos ? feed : feed - i);
            i += text.size();
            if (!text.empty() && heldReturn && !Emit("\r"))
                break;
            if (!text.empty()) {
                heldReturn = text.back() == '\r';
                if (heldReturn)
                    text.remove_suffix(1);
            }
            if (!Emit(text))
                break;
            if (feed != std::string_view::npos)
                state = State::Done;
            continue;
        }
        const char c = piece[i];
        if (state == State::Between && c != '\n' && !(c == '\r' && lineLength == 0)) {
            // The first line after the status line that is not empty: a
            // carriage return it began with is its text after all.
            state = State::Image;
            if (heldReturn && !Emit("\r"))
                break;
            heldReturn = false;
            continue;
        }
        ++i;
        if (c == '\n') {
            EndLine();
            continue;
        }
        if (state == State::Status && lineLength < 2)
            first[lineLength] = c;
        heldReturn = c == '\r';
        ++lineLength;
    }
    return state != State::Refused && !refused;
}

void ImageLineReader::Finish()
{
    if (state == State::Status)
        EndLine();
    if (state == State::Image || state == State::Between)
        state = State::Done;
    heldReturn = false;
}

void BuildList(std::string_view body, std::map<std::string, std::string>& builds)
{
    Lines lines(body);
    std::string_view line;
    lines.Next(line);
    while (lines.Next(line)) {
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
}

bool RecoveryInfo(std::string_view body, uint32_t& serial, uint32_t& build)
{
    Lines lines(body);
    std::string_view line[3];
    size_t count = 0;
    while (count < 3 && lines.Next(line[count]))
        ++count;
    Log::log(DEBUG_ServerComm, "%s [%.*s][%.*s][%.*s]\n", "GetRecoveryInfo", shown(line[0], 20), line[0].data(),
        shown(line[1], 20), line[1].data(), shown(line[2], 20), line[2].data());

    // Both lines are checked before either output is written, so a garbled
    // reply never hands back half an answer.
    uint32_t newSerial = serial;
    uint32_t newBuild = build;
    if (count > 1 && !parseU32(line[1], 16, newSerial)) {
        Log::log(DEBUG_ServerComm, "GetRecoveryInfo: serial number [%.*s] is not a number\n", shown(line[1], 20),
            line[1].data());
        return false;
    }
    if (count > 2 && !parseU32(line[2], 0, newBuild)) {
        Log::log(DEBUG_ServerComm, "GetRecoveryInfo: build [%.*s] is not a number\n", shown(line[2], 20),
            line[2].data());
        return false;
    }
    serial = newSerial;
    build = newBuild;
    return true;
}

bool DeviceJWT(std::string_view body, std::string& token)
{
    const std::string_view line = Lines::At(body, 1);
    if (line.empty())
        return false;
    Log::log(DEBUG_ServerComm, "%s processing entry: [%.*s]\n", "GetDeviceJWT", static_cast<int>(line.size()),
        line.data());
    if (line.size() <= 2)
        return false;
    const size_t dot1 = line.find('.');
    if (dot1 == std::string_view::npos)
        return false;
    const size_t dot2 = line.find('.', dot1 + 1);
    if (dot2 == std::string_view::npos)
        return false;
    const std::string_view header = line.substr(0, dot1);
    const std::string_view payload = line.substr(dot1 + 1, dot2 - dot1 - 1);
    const std::string_view signature = untilAny(line.substr(dot2 + 1), "\r\n");
    if (header.size() < 2 || payload.size() < 2 || signature.size() < 2)
        return false;
    token.assign(header).append(".").append(payload).append(".").append(signature);
    return true;
}

}  // namespace ServerReply
