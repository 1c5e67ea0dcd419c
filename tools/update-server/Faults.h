// Misbehaviour on request, so the client's failure paths can be exercised.
// Each --fault adds one mode; "only=" limits all of them to the named ops.
#pragma once

#include <set>
#include <string>

#include "RequestHandler.h"

namespace updsrv {

struct FaultSet {
    int status = 0;                // status=N: this HTTP status instead of the real one
    bool noOk = false;             // no-ok: status line "fail" instead of "ok"
    bool empty = false;            // empty: no body at all
    bool crlf = false;             // crlf: every line ends in CR LF
    bool blankLines = false;       // blank-lines: an empty line before every line
    bool truncatedBase64 = false;  // truncated-base64: image text cut to a length not a multiple of 4
    bool invalidBase64 = false;    // invalid-base64: characters outside the alphabet in the image text
    bool neverEnd = false;         // never-end: half the body, then silence until shutdown
    int delayMs = 0;               // delay=MS: wait before answering
    std::set<std::string> only;    // only=OP[,OP...]: empty means every request

    // Adds one mode; false with a message for an unknown or malformed one.
    bool Add(const std::string& mode, std::string& error);

    bool AppliesTo(const std::string& op) const;
    bool Any() const;
};

// Rewrites status and body; timing faults (delay, never-end) are the server's.
void ApplyFaults(const FaultSet& faults, Reply& reply);

// The names of all modes, for the usage text.
const char* FaultModesHelp();

}  // namespace updsrv
