// RFC 4648 base64, standard alphabet with "=" padding.
#pragma once

#include <cstddef>

// Decodes length characters of text. Returns a buffer from malloc holding
// *decodedLength bytes plus a terminating NUL (the caller frees it), or null
// when the text is not valid base64: a length that is not a multiple of 4, a
// character outside the alphabet, or "=" anywhere but as the last one or two
// characters. An empty text gives an empty, non-null buffer.
unsigned char* base64_decode(const char* text, size_t length, size_t* decodedLength);

// Encodes length bytes. Returns a NUL-terminated text from malloc of
// *encodedLength characters (the caller frees it), or null when memory runs
// out or the arguments are unusable.
char* base64_encode(const unsigned char* data, size_t length, size_t* encodedLength);

// Decodes a text that arrives in pieces of any size, by the rules of
// base64_decode over the whole text: a piece may end in the middle of a
// group, and the bytes of a group come out once the group is whole.
class Base64Decoder {
public:
    // The most bytes Feed writes for a piece of length characters.
    static constexpr size_t MaxDecoded(size_t length) { return (length + 3) / 4 * 3; }

    // Decodes the next piece into out, which has room for MaxDecoded(length)
    // bytes, and sets *decoded to the bytes written. False (and from then on
    // for every piece) once the text breaks the rules.
    bool Feed(const char* text, size_t length, unsigned char* out, size_t* decoded);
    // True when the text fed so far is whole: valid and ending a group.
    bool Complete() const { return !broken && filled == 0; }
    bool Broken() const { return broken; }

private:
    // Takes one character of a group that may hold padding; false when the
    // text breaks the rules.
    bool TakeSlowly(unsigned char c, unsigned char* out, size_t& o);

    unsigned group = 0;   // sextets of the group being filled
    size_t filled = 0;    // characters of that group seen (0 to 3)
    size_t padding = 0;   // "=" seen in it
    bool ended = false;   // a padded group ended the text
    bool broken = false;
};
