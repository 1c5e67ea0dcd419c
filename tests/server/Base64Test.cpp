#include "base64.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

struct Freer {
    void operator()(void* p) const { std::free(p); }
};

// Decoded bytes, or "<null>" when decoding refuses the text.
std::string decode(const std::string& text)
{
    size_t length = 12345;
    std::unique_ptr<unsigned char, Freer> out(base64_decode(text.data(), text.size(), &length));
    if (!out)
        return "<null>";
    EXPECT_EQ(out.get()[length], '\0');
    return std::string(reinterpret_cast<char*>(out.get()), length);
}

std::string encode(const std::string& bytes)
{
    size_t length = 12345;
    std::unique_ptr<char, Freer> out(
        base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &length));
    if (!out)
        return "<null>";
    EXPECT_EQ(out.get()[length], '\0');
    return std::string(out.get(), length);
}

} // namespace

TEST(Base64, KnownVectors)
{
    const std::pair<const char*, const char*> vectors[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="},
        {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (const auto& [plain, coded] : vectors) {
        EXPECT_EQ(encode(plain), coded);
        EXPECT_EQ(decode(coded), plain);
    }
    EXPECT_EQ(encode("\xfb\xff"), "+/8=");
}

TEST(Base64, RoundTripsEveryByteAndLength)
{
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    bytes += std::string("\0\0\0", 3);
    for (size_t n = 0; n <= bytes.size(); n += 1 + n / 8) {
        std::string part = bytes.substr(bytes.size() - n);
        std::string text = encode(part);
        EXPECT_EQ(text.size(), (n + 2) / 3 * 4);
        EXPECT_EQ(decode(text), part) << n;
    }
}

TEST(Base64, EmptyResultIsNotFailure)
{
    size_t length = 99;
    unsigned char* out = base64_decode("", 0, &length);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(length, 0u);
    std::free(out);
    EXPECT_EQ(base64_decode(nullptr, 4, &length), nullptr);
    EXPECT_EQ(base64_decode("Zm9v", 4, nullptr), nullptr);
}

TEST(Base64, LengthPaddingAndAlphabetRules)
{
    EXPECT_EQ(decode("Zm9vYm"), "<null>"); // 6 characters
    EXPECT_EQ(decode("Zm9"), "<null>");
    // Two padding characters: two bytes less than three quarters of the length.
    EXPECT_EQ(decode("Zm9vYg==").size(), 8u / 4 * 3 - 2);
    for (const char* bad : {"Zm9v\r\n==", "Zm 9", "Zm9v\n", "Zm9-", "Zm9_", "Zm\x80v", "Z=9v", "Zm=v", "=m9v",
             "Zg==Zm9v", "Z===", "====", "Zm9v===="})
        EXPECT_EQ(decode(bad), "<null>") << bad;
    EXPECT_EQ(decode(std::string("Zm\0v", 4)), "<null>");
}

// A text cut anywhere into pieces decodes as the whole does, and is refused
// where the whole is.
TEST(Base64, PiecesDecodeLikeTheWholeText)
{
    for (const std::string text : {"Zm9vYmFy", "Zm9vYg==", "Zm9vYmE=", "+/8=", "", "Zm9vYm", "Zm=v", "Zg==Zm9v",
             "Z===", "Zm9v\n", "Zm9vYmFyZm9vYmE="}) {
        const std::string whole = decode(text);
        for (size_t cut = 0; cut <= text.size(); ++cut) {
            for (size_t second = cut; second <= text.size(); ++second) {
                Base64Decoder decoder;
                std::string bytes;
                bool ok = true;
                for (const auto& [from, to] : {std::pair{size_t(0), cut}, {cut, second}, {second, text.size()}}) {
                    unsigned char out[Base64Decoder::MaxDecoded(16)];
                    size_t n = 99;
                    ok = decoder.Feed(text.data() + from, to - from, out, &n) && ok;
                    bytes.append(reinterpret_cast<char*>(out), ok ? n : 0);
                }
                EXPECT_EQ(ok && decoder.Complete() ? bytes : "<null>", whole) << text << " cut at " << cut << ", "
                                                                               << second;
            }
        }
    }
}
