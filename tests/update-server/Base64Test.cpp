// The encoder against the test vectors of RFC 4648, section 10.
#include <gtest/gtest.h>

#include "Base64.h"

TEST(UpdateServerBase64, MatchesTheStandardVectors) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},          {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [in, out] : vectors) EXPECT_EQ(updsrv::Base64Encode(in), out) << in;
    EXPECT_EQ(updsrv::Base64Encode(std::string("\xFB\xFF\x00", 3)), "+/8A");
}
