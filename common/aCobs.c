/* COBS encoder and decoder. */
#include "aCobs.h"

size_t aCobs_Encode(const uint8_t* input, size_t length, uint8_t* output, size_t outputSize)
{
    if (output == NULL || (input == NULL && length > 0) || outputSize < aCOBS_MAX_ENCODED(length))
        return 0;
    size_t codeAt = 0;
    size_t out = 1;
    uint8_t code = 1;
    for (size_t i = 0; i < length; ++i) {
        if (input[i] == 0) {
            output[codeAt] = code;
            codeAt = out++;
            code = 1;
            continue;
        }
        output[out++] = input[i];
        if (++code == 0xFF && i + 1 < length) {
            output[codeAt] = code;
            codeAt = out++;
            code = 1;
        }
    }
    output[codeAt] = code;
    return out;
}

size_t aCobs_Decode(const uint8_t* input, size_t length, uint8_t* output)
{
    if (input == NULL || output == NULL)
        return 0;
    size_t in = 0;
    size_t out = 0;
    while (in < length) {
        uint8_t code = input[in];
        if (code == 0 || in + code > length)
            return 0;
        in++;
        /* Output never overtakes input: each block shrinks by its code byte. */
        for (uint8_t k = 1; k < code; ++k) {
            uint8_t byte = input[in++];
            if (byte == 0)
                return 0;
            output[out++] = byte;
        }
        if (code != 0xFF && in < length)
            output[out++] = 0;
    }
    return out;
}
