// BirdFile::CheckFile: Load's verdict on a file, reached by reading it in
// pieces, so that checking an image costs a few buffers however large the
// image is. The rules are Load's own: the file within the size bound, its
// zlib stream ending within the block-area bound, and no more blocks than the
// list may hold.
#include "BirdFile.h"

#include <memory>
#include <new>
#include <zlib.h>

#include "Log.h"
#include "aFile.h"

namespace {

constexpr size_t kHeaderSize = 6;
constexpr size_t kPiece = 64 * 1024;

// Follows the block walk of the loaded block area over its bytes as they are
// decompressed: the position of each block header, the header's length field,
// and where the first block too many would end.
class BlockWalk {
public:
    void Take(const uint8_t* bytes, size_t count)
    {
        for (size_t i = 0; i < count && !settled; ++i, ++position) {
            if (position < nextHeader + 1) {
                // A block's data is megabytes long: step over it at once.
                const uint64_t gap = nextHeader + 1 - position;
                const size_t left = count - i;
                const size_t step = gap < left ? static_cast<size_t>(gap) : left;
                i += step - 1;
                position += step - 1;
                continue;
            }
            // Bytes 1 to 4 of a header hold the block length, most
            // significant first.
            length = length << 8 | bytes[i];
            if (position < nextHeader + 4)
                continue;
            if (blocks == BirdFile::kMaxBlocks) {
                excessEnd = nextHeader + 5 + length;
                settled = true;
            }
            ++blocks;
            nextHeader += 5 + length;
            length = 0;
        }
    }
    // Load keeps a block when it ends 4 bytes (the file checksum) or more
    // before the end of the area, and refuses the file once it would keep one
    // block more than the bound.
    bool TooMany(uint64_t areaSize) const { return settled && excessEnd + 4 <= areaSize; }

private:
    uint64_t position = 0;
    uint64_t nextHeader = 4;  // the block count comes first
    uint64_t length = 0;
    uint64_t excessEnd = 0;
    size_t blocks = 0;
    bool settled = false;
};

struct InflateStream {
    z_stream z{};
    bool ready = false;
    ~InflateStream()
    {
        if (ready)
            inflateEnd(&z);
    }
};

}  // namespace

bool BirdFile::CheckFile(const std::string& filePath)
{
    aFile* file = aFile_Open(filePath.c_str(), aFileModeReadOnly);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", filePath.c_str());
        return false;
    }
    size_t size = 0;
    aErr err = aFile_GetSize(file, &size);
    if (err != aErrNone || size > kMaxFileBytes || size < kHeaderSize) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %s holds %zu bytes, no image\n", filePath.c_str(), size);
        aFile_Close(&file);
        return false;
    }
    std::unique_ptr<uint8_t[]> in(new (std::nothrow) uint8_t[kPiece]);
    std::unique_ptr<uint8_t[]> out(new (std::nothrow) uint8_t[kPiece]);
    InflateStream stream;
    stream.ready = in && out && inflateInit(&stream.z) == Z_OK;
    if (!stream.ready) {
        aFile_Close(&file);
        return false;
    }
    // The block area may be at most eight times the compressed data, and
    // never more than the bound.
    uint64_t bound = 8ull * (size - kHeaderSize);
    if (bound > kMaxBlockAreaBytes)
        bound = kMaxBlockAreaBytes;
    uint64_t produced = 0;
    size_t skip = kHeaderSize;
    bool fileEnded = false;
    BlockWalk walk;
    int z = Z_OK;
    while (z == Z_OK) {
        if (stream.z.avail_in == 0 && !fileEnded) {
            size_t count = 0;
            err = aFile_Read(file, in.get(), kPiece, &count);
            fileEnded = err == aErrEOF || count == 0;
            if (err != aErrNone && err != aErrEOF)
                break;
            const size_t taken = count < skip ? count : skip;
            skip -= taken;
            stream.z.next_in = in.get() + taken;
            stream.z.avail_in = static_cast<uInt>(count - taken);
        }
        const uint64_t room = bound - produced;
        stream.z.next_out = out.get();
        stream.z.avail_out = static_cast<uInt>(room < kPiece ? room : kPiece);
        z = inflate(&stream.z, Z_NO_FLUSH);
        const size_t made = static_cast<size_t>(stream.z.next_out - out.get());
        walk.Take(out.get(), made);
        produced += made;
        // No progress: the output is full (the area outgrew its bound) or
        // the file ended before the stream did.
        if (z == Z_BUF_ERROR && (room == 0 || (fileEnded && stream.z.avail_in == 0)))
            break;
        if (z == Z_BUF_ERROR)
            z = Z_OK;
    }
    aFile_Close(&file);
    if (z != Z_STREAM_END) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", z);
        return false;
    }
    if (walk.TooMany(produced)) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %s holds more than %zu blocks\n", filePath.c_str(), kMaxBlocks);
        return false;
    }
    return true;
}
