// Base64 as a downloaded image arrives: any text into the decoder (exact-size
// buffers, so a read past the end is caught), whole and in two pieces, and
// the encoder and decoder undoing each other.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "FuzzSupport.h"
#include "base64.h"

namespace {

struct Freed {
    void operator()(void* p) const { std::free(p); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The text as it would be cut out of a reply: exactly size bytes.
    std::unique_ptr<char[]> text(new char[size ? size : 1]);
    std::memcpy(text.get(), data, size);

    size_t length = 0;
    std::unique_ptr<unsigned char, Freed> decoded(base64_decode(text.get(), size, &length));
    // The text in two pieces, cut where its first byte says, decodes the same.
    if (size % 4 == 0) {
        const size_t cut = size > 0 ? data[0] % (size + 1) : 0;
        std::unique_ptr<unsigned char[]> pieces(new unsigned char[Base64Decoder::MaxDecoded(size) + 3]);
        Base64Decoder decoder;
        size_t first = 0, second = 0;
        const bool fed = decoder.Feed(text.get(), cut, pieces.get(), &first)
            && decoder.Feed(text.get() + cut, size - cut, pieces.get() + first, &second);
        FUZZ_CHECK((fed && decoder.Complete()) == (decoded != nullptr));
        FUZZ_CHECK(!decoded || (first + second == length && std::memcmp(pieces.get(), decoded.get(), length) == 0));
    }
    if (decoded) {
        FUZZ_CHECK(size % 4 == 0);
        FUZZ_CHECK(length <= size / 4 * 3 && length + 2 >= size / 4 * 3);
        FUZZ_CHECK(decoded.get()[length] == 0);
        // A decodable text re-encodes to one that decodes to the same bytes.
        size_t encodedLength = 0;
        std::unique_ptr<char, Freed> encoded(base64_encode(decoded.get(), length, &encodedLength));
        FUZZ_CHECK(encoded && encodedLength == size);
        size_t againLength = 0;
        std::unique_ptr<unsigned char, Freed> again(base64_decode(encoded.get(), encodedLength, &againLength));
        FUZZ_CHECK(again && againLength == length && std::memcmp(again.get(), decoded.get(), length) == 0);
    } else {
        FUZZ_CHECK(size % 4 != 0 || size > 0);
    }

    // Any bytes encode and come back unchanged.
    size_t encodedLength = 0;
    std::unique_ptr<char, Freed> encoded(base64_encode(data, size, &encodedLength));
    FUZZ_CHECK(encoded && encodedLength == (size + 2) / 3 * 4 && std::strlen(encoded.get()) == encodedLength);
    size_t backLength = 0;
    std::unique_ptr<unsigned char, Freed> back(base64_decode(encoded.get(), encodedLength, &backLength));
    FUZZ_CHECK(back && backLength == size && std::memcmp(back.get(), data, size) == 0);
    return 0;
}
