/* The streaming filter: runs on the wrapped link's input thread for every
 * packet the module sends, takes the stream samples off the link and collects
 * them, in wire form, into frames for the streaming clients. A frame goes out
 * at each heartbeat from the module, when the buffer is nearly full, and, so
 * that a steady stream does not wait for a heartbeat, when a new sample comes
 * more than a short while after the oldest one buffered. */
#include "aServerInternal.h"

#include "aUEI.h"

/* Samples wait at most this long for the next one to carry them out. */
#define aSERVER_STREAM_HOLD_MS 20

static void sFlush(aServer* server)
{
    if (server->streamingFill == 0)
        return;
    if (zmq_send(zsock_resolve(server->streamingFilter), server->streamingBuffer,
                 server->streamingFill, ZMQ_DONTWAIT) < 0)
        aSERVER_TRACE("streaming frame of %d bytes lost\n", (int)server->streamingFill);
    server->streamingFill = 0;
}

bool _streamingPacketFilter(const aPacket* packet, void* reference)
{
    aServer* server = (aServer*)reference;
    uint8_t length = 0;
    if (aPacket_GetLength(packet, &length) != aErrNone)
        return false;
    const uint8_t* data = aPacket_GetData(packet);
    const bool heartbeat = length == 2 && data[0] == aPACKET_CMD_HEARTBEAT;
    const bool sample = aUEI_isStreamPacket(packet);
    if (sample) {
        uint64_t now = aServer_SteadyMs();
        if (server->streamingFill > 0 && now - server->streamingSinceMs > aSERVER_STREAM_HOLD_MS)
            sFlush(server);
        size_t wire = 0;
        if (server->streamingFill == 0)
            server->streamingSinceMs = now;
        if (aPacket_GetBytes(packet, server->streamingBuffer + server->streamingFill,
                             sizeof server->streamingBuffer - server->streamingFill,
                             &wire) == aErrNone)
            server->streamingFill = (uint16_t)(server->streamingFill + wire);
    }
    if (heartbeat || server->streamingFill > aSERVER_STREAM_FILL)
        sFlush(server);
    return sample;
}
