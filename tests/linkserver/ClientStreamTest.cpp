// The client stream on its own, against a bare frontend socket standing in
// for a server: what get, put, write and a caller's own write return, and a
// server that goes away.
#include "Harness.h"

#include <czmq.h>

#include <chrono>

#include "aStreamClient.h"

using namespace srvtest;

namespace {

using Clock = std::chrono::steady_clock;

TEST(LinkServerClientStream, FramesBytesTimeoutsAndALostServer)
{
    REQUIRE_NAMESPACE();
    zsock_t* frontend = zsock_new(ZMQ_ROUTER);
    const int port = zsock_bind(frontend, "tcp://127.0.0.1:*");
    ASSERT_GT(port, 0);
    zsock_set_rcvtimeo(frontend, 2000);
    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateClient(Loopback(), std::uint16_t(port), &stream), aErrNone);
    EXPECT_EQ(aStream_CreateClient(Loopback(), std::uint16_t(port), nullptr), aErrParam);

    std::uint8_t byte = 0;
    auto start = Clock::now();
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(950));
    EXPECT_EQ(aStream_Write(stream, &byte, 1), aErrUnimplemented) << "one byte goes to put";

    // Two whole packets in one write (pooled output) go as two frames.
    const Bytes two{kAddress, 1, 0x17, kAddress, 2, 0x17, 0x01};
    ASSERT_EQ(aStream_Write(stream, two.data(), two.size()), aErrNone);
    zmsg_t* first = zmsg_recv(frontend);
    zmsg_t* second = zmsg_recv(frontend);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    zframe_t* identity = zmsg_pop(first);
    EXPECT_EQ(zframe_size(zmsg_first(first)), 3u);
    EXPECT_EQ(zframe_size(zmsg_last(second)), 4u);

    // A caller's own write takes one whole packet, as one frame after those;
    // anything else is left to the link's output thread, unsent.
    const Bytes one{kAddress, 1, 0x21};
    EXPECT_EQ(aStream_WriteAtOnce(stream, two.data(), two.size()), aErrNotReady);
    EXPECT_EQ(aStream_WriteAtOnce(stream, two.data(), 2), aErrNotReady);
    ASSERT_EQ(aStream_WriteAtOnce(stream, one.data(), one.size()), aErrNone);
    zmsg_t* third = zmsg_recv(frontend);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(zmsg_size(third), 2u);
    const std::uint8_t* sent = zframe_data(zmsg_last(third));
    EXPECT_EQ(Bytes(sent, sent + zframe_size(zmsg_last(third))), one);
    zmsg_destroy(&third);

    // A 9-byte frame gives exactly nine bytes; the tenth read waits.
    const Bytes nine{1, 2, 3, 4, 5, 6, 7, 8, 9};
    zframe_send(&identity, frontend, ZFRAME_MORE | ZFRAME_REUSE);
    zmq_send(zsock_resolve(frontend), nine.data(), nine.size(), 0);
    Bytes got(9);
    ASSERT_EQ(aStream_Read(stream, got.data(), got.size()), aErrNone);
    EXPECT_EQ(got, nine);
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);

    // The server goes: reads report the lost connection within about a
    // second, and writes still succeed without waiting.
    zframe_destroy(&identity);
    zmsg_destroy(&first);
    zmsg_destroy(&second);
    zsock_destroy(&frontend);
    start = Clock::now();
    aErr err = aErrNone;
    while ((err = aStream_Read(stream, &byte, 1)) == aErrNotReady && Clock::now() - start < std::chrono::seconds(5)) {
    }
    EXPECT_EQ(err, aErrConnection);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2200));
    start = Clock::now();
    EXPECT_EQ(aStream_Write(stream, two.data(), two.size()), aErrNone);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(100));
    // A caller never waits on the gone server either: its writes are queued
    // for a reconnect until the queue is full, then refused at once.
    int refused = 0;
    start = Clock::now();
    for (int i = 0; i < 5000; ++i) {
        const aErr put = aStream_WriteAtOnce(stream, one.data(), one.size());
        ASSERT_TRUE(put == aErrNone || put == aErrNotReady) << put;
        refused += put == aErrNotReady;
    }
    EXPECT_GT(refused, 0);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

}  // namespace
