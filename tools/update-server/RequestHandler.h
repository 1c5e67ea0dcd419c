// Turns one query of the request script into its reply: the status line "ok"
// and the op's lines, or a line "error" and a reason.
#pragma once

#include <map>
#include <string>

#include "Catalogue.h"

namespace updsrv {

using QueryParams = std::multimap<std::string, std::string>;   // already percent-decoded

struct Reply {
    std::string op;      // the op= value as asked, empty when missing
    int status = 200;
    std::string body;
};

Reply AnswerRequest(const Catalogue& catalogue, const QueryParams& params);

}  // namespace updsrv
