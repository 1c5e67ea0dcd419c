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
