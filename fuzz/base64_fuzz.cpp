// Base64 as a downloaded image arrives: any text into the decoder (exact-size
// buffers, so a read past the end is caught), whole and in three pieces, and
// the encoder and decoder undoing each other.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

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
    // The text in three pieces, cut where its first two bytes say, decodes
    // the same. Each piece is read from, and decoded into, a buffer of exactly
    // its own size and the room MaxDecoded promises, so that a read or write
    // past either is caught.
    const size_t firstCut = size > 0 ? data[0] % (size + 1) : 0;
    const size_t secondCut = size > 1 ? firstCut + data[1] % (size - firstCut + 1) : size;
    Base64Decoder decoder;
    std::string pieces;
    bool fed = true;
    for (const auto& [from, to] : {std::pair{size_t(0), firstCut}, {firstCut, secondCut}, {secondCut, size}}) {
        std::unique_ptr<char[]> piece(new char[to - from]);
        std::memcpy(piece.get(), data + from, to - from);
        std::unique_ptr<unsigned char[]> out(new unsigned char[Base64Decoder::MaxDecoded(to - from)]);
        size_t n = 0;
        fed = fed && decoder.Feed(piece.get(), to - from, out.get(), &n);
        if (fed)
            pieces.append(reinterpret_cast<const char*>(out.get()), n);
    }
    FUZZ_CHECK((fed && decoder.Complete()) == (decoded != nullptr));
    FUZZ_CHECK(!decoded || (pieces.size() == length && std::memcmp(pieces.data(), decoded.get(), length) == 0));
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
