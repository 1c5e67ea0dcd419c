// Replies of an i.MX boot ROM in serial download mode, as a hostile or broken
// chip sends them: the liveness test, the unique-identifier reads, a loader
// transfer and the jump, run on whatever comes back, read by the HID or the
// serial transport's own reply reader.
//
// Input: a selector byte (bit 0: serial transport, bit 1: transfer a loader,
// bit 2: jump), then replies, each a length byte and that many bytes.
#include <memory>
#include <vector>

#include "FuzzSupport.h"
#include "HID_SDPLoader.h"
#include "SDPLoader.h"
#include "Serial_SDPLoader.h"

namespace {

// The chip side: every read takes the next reply of the input; written
// packets are only checked for their shape. Reply words are read by a real
// transport of the chosen kind, never opened.
class ReplayTransport : public SDPLoader_Interface {
public:
    ReplayTransport(fuzz::Reader& in, bool serial) : in_(in)
    {
        if (serial)
            reader_ = std::make_unique<Serial_SDPLoader>("/nonexistent");
        else
            reader_ = std::make_unique<HID_SDPLoader>(SDPLoader::IMX_VENDOR_ID, SDPLoader::IMX_PRODUCT_ID);
    }
    bool init() override { return true; }
    ssize_t writeData(const uint8_t* packet, size_t length) override
    {
        FUZZ_CHECK(packet != nullptr && length >= 1);
        FUZZ_CHECK(length == SDPLoader::COMMAND_LENGTH || length <= 1 + SDPLoader::MAX_DATA_PER_PACKET);
        return static_cast<ssize_t>(length);
    }
    ssize_t readData(std::vector<uint8_t>& out, int timeoutMs) override
    {
        // Once the input is spent the chip babbles a byte to each timed read,
        // so that the loader's wait for its status (which grows with the
        // image) ends at once rather than spinning out every run.
        if (in_.size() == 0) {
            if (timeoutMs > 0)
                out.push_back(0);
            return timeoutMs > 0 ? 1 : 0;
        }
        const size_t length = std::min<size_t>(in_.Byte(), in_.size());
        out.insert(out.end(), in_.data(), in_.data() + length);
        for (size_t i = 0; i < length; ++i)
            in_.Byte();
        return static_cast<ssize_t>(length);
    }
    bool getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned index, uint32_t& value) override
    {
        return reader_->getDataFromBuffer(reply, index, value);
    }
    size_t replyLength() const override { return reader_->replyLength(); }
    bool getSecurityWord(const std::vector<uint8_t>& reply, uint32_t& value) override
    {
        return reader_->getSecurityWord(reply, value);
    }

private:
    fuzz::Reader& in_;
    std::unique_ptr<SDPLoader_Interface> reader_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Reader in(data, size);
    const uint8_t select = in.Byte();
    SDPLoader sdp;
    FUZZ_CHECK(sdp.setLoader(std::make_unique<ReplayTransport>(in, select & 1)));

    uint64_t fingerprint = 0;
    const aErr err = sdp.getFingerprint(fingerprint);
    FUZZ_CHECK(err == aErrNone || err == aErrParam || err == aErrMode);
    FUZZ_CHECK(err == aErrNone || fingerprint == 0);

    if (select & 2) {
        // Small images only: the wait for the final status grows with the
        // image, and an input that ends early waits it out.
        static const std::vector<uint8_t> image(1500, 0xA5);
        const int result = sdp.writeLoader(image.data(), image.size(), 0x20000000);
        FUZZ_CHECK(result == SDPLoader::LOADER_OK || result == SDPLoader::LOADER_NO_ANSWER ||
                   result == SDPLoader::LOADER_DATA_DURING_TRANSFER || result == SDPLoader::LOADER_NOT_COMPLETE);
    }
    if (select & 4) {
        const int started = sdp.startLoader(0x20000000);
        FUZZ_CHECK(started == SDPLoader::LOADER_OK || started == SDPLoader::LOADER_REFUSED);
    }
    return 0;
}
