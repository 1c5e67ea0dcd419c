// Packets: creation limits, the byte-wise assembler and the wire form; UEI
// helpers over packets.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "aPacket.h"
#include "aUEI.h"

namespace {

// Feeds bytes to a fresh assembler; returns the first error, or aErrNone.
aErr Assemble(aPacket* packet, const std::vector<uint8_t>& bytes)
{
    for (uint8_t byte : bytes) {
        aErr err = aPacket_AddByte(packet, byte);
        if (err != aErrNone)
            return err;
    }
    return aErrNone;
}

std::vector<uint8_t> Wire(const aPacket* packet)
{
    uint8_t buffer[aPACKET_MAX_WIRE];
    size_t length = 0;
    EXPECT_EQ(aErrNone, aPacket_GetBytes(packet, buffer, sizeof buffer, &length));
    return std::vector<uint8_t>(buffer, buffer + length);
}

struct PacketPtr {
    aPacket* p;
    explicit PacketPtr(aPacket* packet) : p(packet) {}
    ~PacketPtr() { aPacket_Destroy(&p); }
};

}  // namespace

TEST(PacketCreate, DataLengthLimit)
{
    uint8_t data[29] = {};
    for (int i = 0; i < 29; i++)
        data[i] = uint8_t(i + 1);
    PacketPtr full(aPacket_CreateWithData(4, 28, data));
    ASSERT_NE(nullptr, full.p);
    EXPECT_TRUE(aPacket_IsComplete(full.p));
    EXPECT_EQ(30u, Wire(full.p).size());
    EXPECT_EQ(nullptr, aPacket_CreateWithData(4, 29, data));
    EXPECT_EQ(nullptr, aPacket_CreateWithData(4, 1, nullptr));

    PacketPtr empty(aPacket_CreateWithData(6, 0, data));
    ASSERT_NE(nullptr, empty.p);
    EXPECT_TRUE(aPacket_IsComplete(empty.p));
    EXPECT_EQ((std::vector<uint8_t>{6, 0}), Wire(empty.p));

    PacketPtr fresh(aPacket_Create());
    EXPECT_FALSE(aPacket_IsComplete(fresh.p));
}

TEST(PacketCreate, CopyIsIndependent)
{
    const uint8_t data[] = {3, 0x41, 0x20, 7};
    aPacket* original = aPacket_CreateWithData(2, 4, data);
    aPacket* copy = aPacket_Copy(original);
    ASSERT_NE(nullptr, copy);
    EXPECT_EQ(aErrNone, aPacket_Destroy(&original));
    EXPECT_EQ(nullptr, original);
    EXPECT_EQ((std::vector<uint8_t>{2, 4, 3, 0x41, 0x20, 7}), Wire(copy));
    EXPECT_EQ(nullptr, aPacket_Copy(original));
    EXPECT_EQ(aErrParam, aPacket_Destroy(&original));
    aPacket_Destroy(&copy);
}

TEST(PacketAssemble, WholePacketRoundTrips)
{
    PacketPtr packet(aPacket_Create());
    const std::vector<uint8_t> wire = {0x0A, 3, 0x11, 0x22, 0x33};
    for (size_t i = 0; i < wire.size(); i++) {
        EXPECT_FALSE(aPacket_IsComplete(packet.p));
        ASSERT_EQ(aErrNone, aPacket_AddByte(packet.p, wire[i]));
    }
    EXPECT_TRUE(aPacket_IsComplete(packet.p));
    EXPECT_EQ(wire, Wire(packet.p));

    // After a reset the same record assembles a zero-length packet from two bytes.
    EXPECT_EQ(aErrNone, aPacket_Reset(packet.p));
    EXPECT_EQ(aErrNone, Assemble(packet.p, {0x0C, 0}));
    EXPECT_TRUE(aPacket_IsComplete(packet.p));
    EXPECT_EQ((std::vector<uint8_t>{0x0C, 0}), Wire(packet.p));
}

TEST(PacketAssemble, BadBytes)
{
    PacketPtr packet(aPacket_Create());
    EXPECT_EQ(aErrPacket, aPacket_AddByte(packet.p, 0)) << "zero address";
    aPacket_Reset(packet.p);
    EXPECT_EQ(aErrPacket, Assemble(packet.p, {2, 29})) << "length above 28";
    EXPECT_FALSE(aPacket_IsComplete(packet.p));
    aPacket_Reset(packet.p);
    EXPECT_EQ(aErrPacket, Assemble(packet.p, {2, 1, 9, 9})) << "byte past the announced end";
    aPacket_Reset(packet.p);
    // A zero-length packet takes no further byte as a new length.
    EXPECT_EQ(aErrPacket, Assemble(packet.p, {2, 0, 5}));
    EXPECT_FALSE(aPacket_IsComplete(packet.p));
}

TEST(PacketAssemble, ThirtyFirstByteOverruns)
{
    PacketPtr packet(aPacket_Create());
    std::vector<uint8_t> wire(30, 0x55);
    wire[0] = 2;
    wire[1] = 28;
    ASSERT_EQ(aErrNone, Assemble(packet.p, wire));
    EXPECT_TRUE(aPacket_IsComplete(packet.p));
    EXPECT_EQ(aErrOverrun, aPacket_AddByte(packet.p, 0x55));
    // It keeps refusing, however many bytes follow: the count cannot wrap.
    for (int i = 0; i < 300; i++)
        ASSERT_EQ(aErrOverrun, aPacket_AddByte(packet.p, 0x55));
    EXPECT_EQ(aErrParam, aPacket_AddByte(nullptr, 1));
}

TEST(PacketBytes, BufferSize)
{
    const uint8_t data[] = {1, 2, 3};
    PacketPtr packet(aPacket_CreateWithData(8, 3, data));
    uint8_t buffer[5];
    size_t length = 0;
    EXPECT_EQ(aErrNone, aPacket_GetBytes(packet.p, buffer, 5, &length));
    EXPECT_EQ(5u, length);
    EXPECT_EQ(aErrOverrun, aPacket_GetBytes(packet.p, buffer, 4, &length));
    EXPECT_EQ(aErrParam, aPacket_GetBytes(packet.p, nullptr, 5, &length));
}

TEST(PacketFields, TooShortPackets)
{
    const uint8_t data[] = {0x0B, 0xC5, 0xE3};
    uint8_t out = 0;
    for (uint8_t length = 0; length <= 3; length++) {
        PacketPtr packet(aPacket_CreateWithData(2, length, data));
        EXPECT_EQ(length >= 1 ? aErrNone : aErrPacket, aPacket_GetCmd(packet.p, &out));
        EXPECT_EQ(length >= 2 ? aErrNone : aErrPacket, aPacket_GetOption(packet.p, &out));
        EXPECT_EQ(length >= 3 ? aErrNone : aErrPacket, aPacket_GetIndex(packet.p, &out));
        EXPECT_EQ(aErrParam, aPacket_GetCmd(packet.p, nullptr));
    }
    PacketPtr packet(aPacket_CreateWithData(2, 3, data));
    aPacket_GetOption(packet.p, &out);
    EXPECT_EQ(0x05, out);
    aPacket_GetIndex(packet.p, &out);
    EXPECT_EQ(0x03, out);
    EXPECT_EQ(aErrPacket, aPacket_GetCmd(nullptr, &out));
}

TEST(UEIValues, BigEndian)
{
    uint8_t buffer[4];
    aUEI_StoreInt(buffer, 0x12345678);
    EXPECT_EQ((std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78}), std::vector<uint8_t>(buffer, buffer + 4));
    EXPECT_EQ(0x12345678u, aUEI_RetrieveInt(buffer));
    aUEI_StoreShort(buffer, 0xBEEF);
    EXPECT_EQ(0xBE, buffer[0]);
    EXPECT_EQ(0xBEEF, aUEI_RetrieveShort(buffer));

    uint32_t words[2];
    const uint8_t wire[8] = {0, 0, 1, 2, 0xFF, 0, 0, 0};
    memcpy(words, wire, sizeof words);
    aUEI_ModifyIntBuffer(words, 2);
    EXPECT_EQ(0x0102u, words[0]);
    EXPECT_EQ(0xFF000000u, words[1]);
}

TEST(UEIBytes, Trailer)
{
    std::vector<uint8_t> data(28, 0);
    data[27] = 0x80 | 5;
    PacketPtr full(aPacket_CreateWithData(2, 28, data.data()));
    EXPECT_EQ(5, aUEI_getBytesSequence(full.p));
    EXPECT_EQ(1, aUEI_getBytesContinue(full.p));
    EXPECT_TRUE(aUEI_getBytesFullPacket(full.p));

    data[10] = 0x7F;
    PacketPtr last(aPacket_CreateWithData(2, 11, data.data()));
    EXPECT_EQ(0x7F, aUEI_getBytesSequence(last.p));
    EXPECT_EQ(0, aUEI_getBytesContinue(last.p));
    EXPECT_FALSE(aUEI_getBytesFullPacket(last.p));
    EXPECT_EQ(0, aUEI_getBytesSequence(nullptr));
    EXPECT_EQ(0, aUEI_getBytesContinue(nullptr));
}

TEST(UEIPayload, Classification)
{
    const uint8_t heartbeat[] = {aPACKET_CMD_HEARTBEAT, 0, 0, 0, 0};
    PacketPtr link(aPacket_CreateWithData(2, 5, heartbeat));
    EXPECT_TRUE(aUEI_isNotUEIPayload(link.p));
    EXPECT_FALSE(aUEI_isUEIPayload(link.p));
    EXPECT_TRUE(aUEI_isUEIPayload(nullptr));
    EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));

    const uint8_t sample[] = {3, 0x05, aUEI_INDEX_STREAM | 1, 0, 7};
    PacketPtr stream(aPacket_CreateWithData(2, 5, sample));
    EXPECT_TRUE(aUEI_isStreamPacket(stream.p));
    PacketPtr four(aPacket_CreateWithData(2, 4, sample));
    EXPECT_FALSE(aUEI_isStreamPacket(four.p)) << "exactly 4 data bytes";
    const uint8_t reply[] = {3, aUEI_OPTION_GET | 0x05, aUEI_INDEX_STREAM | 1, 0, 7};
    PacketPtr getReply(aPacket_CreateWithData(2, 5, reply));
    EXPECT_FALSE(aUEI_isStreamPacket(getReply.p));
    const uint8_t notUei[] = {95, 0x05, aUEI_INDEX_STREAM | 1, 0, 7};
    PacketPtr command(aPacket_CreateWithData(2, 5, notUei));
    EXPECT_FALSE(aUEI_isStreamPacket(command.p));
}
