// Base64 text of an image for the op=bird reply: the standard alphabet with
// "=" padding, all in one line.
#pragma once

#include <string>

namespace updsrv {

std::string Base64Encode(const std::string& bytes);

}  // namespace updsrv
