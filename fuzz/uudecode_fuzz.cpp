// uuencoded lines as the LPC boot loader sends them back when memory is read:
// any line into the decoder, bounded by the room the caller gives, and the
// encoder and decoder undoing each other for every line length the tool uses.
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "NXPSerialClass.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Reader in(data, size);
    const size_t room = in.Byte() % (NXPSerialClass::MAX_BYTES_PER_LINE + 8);
    // The line as received: exactly its bytes and the terminating NUL.
    const std::string line(reinterpret_cast<const char*>(in.data()), in.size());
    uint8_t bytes[NXPSerialClass::MAX_BYTES_PER_LINE + 8];
    const size_t decoded = NXPSerialClass::uudecode(bytes, room, line.c_str());
    FUZZ_CHECK(decoded <= room);
    if (!line.empty())
        FUZZ_CHECK(decoded <= size_t((static_cast<unsigned char>(line[0]) - 32) & 0x3F));

    const size_t count = std::min(in.size(), size_t(NXPSerialClass::MAX_BYTES_PER_LINE));
    char text[2 + 4 * 15 + 1];
    NXPSerialClass::uuencode(text, in.data(), count);
    FUZZ_CHECK(std::strlen(text) == 1 + (count + 2) / 3 * 4);
    uint8_t back[NXPSerialClass::MAX_BYTES_PER_LINE];
    FUZZ_CHECK(NXPSerialClass::uudecode(back, sizeof back, text) == count);
    FUZZ_CHECK(std::memcmp(back, in.data(), count) == 0);
    return 0;
}
