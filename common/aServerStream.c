/* The link filter: runs on the wrapped link's input thread for every packet
 * the module sends. Stream samples are taken off the link and collected, in
 * wire form, into frames for the streaming clients; a frame goes out at each
 * heartbeat from the module, when the buffer is nearly full, and, so that a
 * steady stream does not wait for a heartbeat, when a new sample comes more
 * than a short while after the oldest one buffered. Every other packet but a
 * heartbeat (which the link answers itself) goes from here straight to the
 * client whose request it answers. */
#include "aServerInternal.h"

#include "aUEI.h"

/* Samples wait at most this long for the next one to carry them out. */
#define aSERVER_STREAM_HOLD_MS 20

static void sFlush(aServer* server)
{
    if (server->streamingFill == 0)
        return;
    aServerWorker_Samples(server, server->streamingBuffer, server->streamingFill);
    server->streamingFill = 0;
}

static void sAnswer(aServer* server, const aPacket* packet)
{
    uint8_t wire[aPACKET_MAX_WIRE];
    size_t size = 0;
    if (aPacket_GetBytes(packet, wire, sizeof wire, &size) == aErrNone)
        aServerWorker_Answer(server, wire, size);
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
                             aSERVER_STREAM_BUFFER - server->streamingFill, &wire) == aErrNone)
            server->streamingFill = (uint16_t)(server->streamingFill + wire);
    }
    if (heartbeat || server->streamingFill > aSERVER_STREAM_FILL)
        sFlush(server);
    if (!sample && !heartbeat)
        sAnswer(server, packet);
    return !heartbeat;
}
