#include "LpcFlashPlan.h"

#include "NXPSerialClass.h"

#include <cstdio>

namespace {

// The end of the flash: where the map's last sector ends.
uint32_t sFlashEnd()
{
    const NXPSector* s = NXP_LPC17XX_sectors;
    while (s[1].size != 0)
        ++s;
    return s->start + s->size;
}

uint32_t sWord(const std::vector<uint8_t>& map, uint32_t at)
{
    return uint32_t(map[at]) | uint32_t(map[at + 1]) << 8 | uint32_t(map[at + 2]) << 16 | uint32_t(map[at + 3]) << 24;
}

// Lengths the boot ROM copies that add up to exactly length (a multiple of
// 256 up to 4096): a whole chunk at once, else 1024s, then 512 and 256, so
// that no copy carries pages that are not the chunk's.
std::vector<uint32_t> sCopyLengths(uint32_t length)
{
    if (length == LpcFlashPlan::CHUNK_SIZE)
        return {length};
    std::vector<uint32_t> lengths;
    for (uint32_t piece : {1024u, 512u, 256u})
        while (length >= piece) {
            lengths.push_back(piece);
            length -= piece;
        }
    return lengths;
}

LpcFlashChunk sChunk(const std::vector<uint8_t>& map, uint32_t address, uint32_t length)
{
    LpcFlashChunk chunk{address, std::vector<uint8_t>(map.begin() + address, map.begin() + address + length), {}};
    uint32_t offset = 0;
    for (uint32_t piece : sCopyLengths(length)) {
        const uint32_t at = address + offset;
        chunk.copies.push_back({at, offset, piece, NXPSerialClass::SectorFromAddress(at),
                                NXPSerialClass::SectorFromAddress(at + piece - 1)});
        offset += piece;
    }
    return chunk;
}

}  // namespace

bool LpcFlashPlan::Build(const std::vector<LpcImageBlock>& blocks, LpcFlashPlan& plan, std::string& error)
{
    const uint32_t flashEnd = sFlashEnd();
    std::vector<uint8_t> map(flashEnd, 0xFF);
    std::vector<uint32_t> owner(flashEnd, 0);  // the block a byte belongs to, from 1; 0: none
    plan = LpcFlashPlan();
    char text[256];

    for (size_t k = 0; k < blocks.size(); ++k) {
        const LpcImageBlock& b = blocks[k];
        const unsigned number = unsigned(k + 1);
        if (b.address >= flashEnd || b.length > flashEnd - b.address) {
            snprintf(text, sizeof text,
                     "The recovery image cannot be written to this chip: firmware block %u (%u bytes at 0x%08X) "
                     "does not fit in the chip's flash (0x%08X-0x%08X)",
                     number, b.length, b.address, 0u, flashEnd - 1);
            error = text;
            return false;
        }
        for (uint32_t i = 0; i < b.length; ++i) {
            if (owner[b.address + i] != 0) {
                snprintf(text, sizeof text,
                         "The recovery image cannot be written to this chip: firmware blocks %u and %u overlap at "
                         "0x%08X",
                         owner[b.address + i], number, b.address + i);
                error = text;
                return false;
            }
            owner[b.address + i] = number;
            map[b.address + i] = b.data[i];
        }
        plan.totalBytes += b.length;
    }

    // The whole flash is erased first, so without a table at 0 that the
    // chip accepts nothing would ever start.
    for (uint32_t i = 0; i < 32; ++i)
        if (owner[i] == 0) {
            error = "The recovery image has no vector table at address 0, so the chip could never start it";
            return false;
        }
    uint32_t all = 0, older = 0;
    for (uint32_t w = 0; w < 8; ++w) {
        all += sWord(map, 4 * w);
        if (w != 5)
            older += sWord(map, 4 * w);
    }
    if (all != 0 && older != 0) {
        error = "The recovery image does not decode for this chip (vector checksum)";
        return false;
    }
    if (all != 0) {
        // Checked by the older rule only: the chip would run it once, when
        // told to, and never again after a reset. Its check word is made the
        // chip's.
        const uint32_t check = sWord(map, 28) - all;
        for (uint32_t i = 0; i < 4; ++i)
            map[28 + i] = uint8_t(check >> (8 * i));
        plan.checkWordRewritten = true;
    }

    // Each page goes with the first block that reaches it, as part of a run
    // of that block's pages no earlier block took.
    std::vector<bool> taken(flashEnd / PAGE_SIZE, false);
    for (const LpcImageBlock& b : blocks) {
        LpcFlashBlock planned{b.address, b.length, {}};
        if (b.length > 0) {
            const uint32_t lastPage = (b.address + b.length - 1) / PAGE_SIZE;
            for (uint32_t page = b.address / PAGE_SIZE; page <= lastPage;) {
                if (taken[page]) {
                    ++page;
                    continue;
                }
                uint32_t run = 0;
                while (page + run <= lastPage && !taken[page + run] && run < CHUNK_SIZE / PAGE_SIZE)
                    taken[page + run++] = true;
                planned.chunks.push_back(sChunk(map, page * PAGE_SIZE, run * PAGE_SIZE));
                page += run;
            }
        }
        plan.blocks.push_back(std::move(planned));
    }
    return true;
}
