// The update server's line-based replies, read field by field from the body
// as it came. Nothing here allocates per line: a hostile reply of millions of
// short lines costs no more than its own bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>

namespace ServerReply {

// The non-empty lines of a body, one at a time. Lines end at line feeds; one
// carriage return before the feed belongs to the line ending too, so that a
// server writing CRLF leaves no "\r" at the end of a build number or an image
// line. Each view points into the body, which must outlive it.
class Lines {
public:
    explicit Lines(std::string_view body) : rest(body) {}
    // The next non-empty line; false when the body holds no more.
    bool Next(std::string_view& line);
    // Line number index (0: the status line), counting from the start of the
    // body; empty when there are fewer lines.
    static std::string_view At(std::string_view body, size_t index);

private:
    std::string_view rest;
};

// True when the first non-empty line begins with "ok".
bool StatusOk(std::string_view body);

// QueryBuild: line 2 the build number text, line 3 the firmware version up
// to a carriage return. Each output is written only when its line is there.
void QueryBuild(std::string_view body, std::string& build, std::string& firmwareVersion);

// GetBuild: line 2, the image as base64 text; empty when there is none.
std::string_view ImageLine(std::string_view body);

// GetBuild's reply read as it arrives: the status line, then the text of the
// image line handed on in pieces, so that the image never has to be held
// whole. The lines are those of ImageLine over the whole body.
class ImageLineReader {
public:
    // Takes what is handed on: false stops the reading.
    using TextSink = std::function<bool(std::string_view text)>;

    explicit ImageLineReader(TextSink textSink) : sink(std::move(textSink)) {}
    // Reads the next piece of the body; what follows the image line is
    // passed over. False when there is no point in reading on: the status
    // line is not "ok", or the sink refused a piece.
    bool Feed(std::string_view piece);
    // The body has ended (an image line needs no line feed at the end).
    void Finish();
    // True once the status line has been read and begins with "ok".
    bool StatusOk() const { return state != State::Status && state != State::Refused; }
    // True once the status line has been read and does not.
    bool StatusRefused() const { return state == State::Refused; }
    // True when the sink refused a piece.
    bool SinkRefused() const { return refused; }

private:
    enum class State { Status, Refused, Between, Image, Done };
    // Hands text to the sink; false once the sink has refused.
    bool Emit(std::string_view text);
    // A line feed: an empty line is skipped; the status line decides whether
    // to read on.
    void EndLine();

    TextSink sink;
    State state = State::Status;
    char first[2] = {0, 0};  // the status line's first two characters
    size_t lineLength = 0;   // characters of the current line so far
    bool heldReturn = false; // a carriage return that may end the line
    bool refused = false;
};

// GetBuildList: "BUILD;VERSION" per line after the status line. Lines shorter
// than 3 characters and lines without a build number are skipped; a build
// listed twice keeps its first version. Entries are added to builds.
void BuildList(std::string_view body, std::map<std::string, std::string>& builds);

// GetRecoveryInfo: line 2 the serial number in hexadecimal, line 3 the build
// with C's automatic base. False, with both outputs untouched, when a line
// that is present is not a number that fits in 32 bits; otherwise each output
// is written when its line is there.
bool RecoveryInfo(std::string_view body, uint32_t& serial, uint32_t& build);

// GetDeviceJWT: line 2, three dot-separated parts of at least 2 characters
// each (the third ends at a carriage return). False, with token untouched,
// for anything else.
bool DeviceJWT(std::string_view body, std::string& token);

}  // namespace ServerReply
