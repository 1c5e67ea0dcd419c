// Replies of an LPC boot loader in ISP mode, as a broken chip or a noisy line
// delivers them: echoes, status lines, the number lines of the identity
// commands, uuencoded memory reads with their checksums, and the answers to a
// RAM write's checksums. The port ends when the input does, as an unplugged
// adapter would end it.
//
// Input: a selector byte (bits 0-2: the command; bit 3: echo on), a length
// byte for reads, then the bytes the chip sends.
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "NXPSerialClass.h"
#include "aStream.h"

namespace {

struct Chip {
    const uint8_t* bytes;
    size_t left;
};

aErr ChipGet(uint8_t* byte, void* reference)
{
    Chip* chip = static_cast<Chip*>(reference);
    if (chip->left == 0)
        return aErrIO;
    *byte = *chip->bytes++;
    --chip->left;
    return aErrNone;
}

aErr ChipPut(uint8_t, void*) { return aErrNone; }

aErr ChipWrite(const uint8_t* bytes, size_t length, void*)
{
    FUZZ_CHECK(bytes != nullptr && length > 0);
    return aErrNone;
}

bool Known(aErr err)
{
    return err == aErrNone || err == aErrParam || err == aErrIO || err == aErrTimeout || err == aErrEOF;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Reader in(data, size);
    const uint8_t select = in.Byte();
    const uint32_t readLength = 4u * (1u + in.Byte() % 64u);
    Chip chip{in.data(), in.size()};

    NXPSerialClass isp;
    FUZZ_CHECK(isp.Attach(aStream_Create(ChipGet, ChipPut, ChipWrite, nullptr, &chip), 230400) == aErrNone);
    // Echo is the class's own state; the command that sets it reads a status.
    if (select & 8)
        (void)isp.SetEcho(true);
    else
        (void)isp.SetEcho(false);

    aErr err = aErrNone;
    switch (select & 7) {
    case 0:
        err = isp.Unlock();
        break;
    case 1:
        err = isp.Prepare(0, 29);
        break;
    case 2: {
        long long part = 0;
        err = isp.GetPartNumber(&part);
        break;
    }
    case 3: {
        uint8_t first = 0, second = 0;
        err = isp.GetBootLoaderVersion(&first, &second);
        break;
    }
    case 4:
        err = isp.GetDeviceID();
        break;
    case 5: {
        // Exactly the bytes asked for: the sanitizer sees any write past them.
        std::vector<uint8_t> bytes(readLength);
        err = isp.Read(0, readLength, bytes.data());
        break;
    }
    case 6: {
        static const std::vector<uint8_t> image(2 * 45 * 20 + 7, 0x5A);
        err = isp.Write(NXPSerialClass::WRITE_ADDRESS, static_cast<uint32_t>(image.size()), image.data());
        break;
    }
    default:
        err = isp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 256);
        break;
    }
    FUZZ_CHECK(Known(err));
    isp.Disconnect();
    FUZZ_CHECK(!isp.IsConnected());
    return 0;
}
