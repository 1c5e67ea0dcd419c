/* A link server put in front of a link (aLink_CreateServer): the server is
 * made and started, entered as the link's front with the hook that destroys
 * it when the link goes, and reached from then on through a client link of
 * its own, which comes in without a TCP connection. */
#include "aServerInternal.h"

#include "aLinkInternal.h"
#include "aStreamClient.h"

/* A new server's details are asked this often, this far apart. */
#define aSERVER_FRONT_ATTEMPTS 5
#define aSERVER_FRONT_PAUSE_MS 10

aErr _aLink_ConfigureServerDetails(int32_t clientLinkId, aServer* server)
{
    uint8_t address = 0;
    aErr err = _aLink_GetModuleAddress(clientLinkId, &address);
    aServer_SetModuleAddress(server, address);
    if (err == aErrNone) {
        uint8_t model = 0;
        err = _aLink_GetModel(clientLinkId, address, &model);
        if (err == aErrNone)
            aServer_SetModel(server, model);
    }
    if (err != aErrNone)
        aServer_FlushFIFO(server);
    return err;
}

/* The link's last use is gone and its threads have stopped. */
static void sLinkGone(void* front)
{
    aServer* server = (aServer*)front;
    aServer_Destroy(&server);
}

static int32_t sServerFailed(const char* step, int32_t client, int32_t linkId)
{
    aLinkDebug_Trace(aLINK_TRACE_SERVER, "FAIL: %s\n", step);
    aLinkDebug_Trace(aLINK_TRACE_SERVER, "Failed to create server\n");
    if (client != 0) {
        /* The served link stays the caller's: only the client link goes. */
        aLinkTable_SetInner(client, 0);
        aLink_Destroy(&client);
    }
    aServer* server = (aServer*)aLinkTable_DetachFront(linkId);
    if (server != NULL)
        aServer_Destroy(&server);
    return 0;
}

int32_t aLink_CreateServer(int32_t linkId, uint16_t* port, uint32_t* networkInterface,
                           bool localOnly)
{
    if (port == NULL || networkInterface == NULL || linkId == 0)
        return sServerFailed("sLookupEntryByID:", 0, 0);
    aServer* server = aServer_Create(linkId, *networkInterface, localOnly);
    if (server == NULL)
        return sServerFailed("aServer_Create:", 0, 0);
    if (aLinkTable_AttachFront(linkId, server, sLinkGone) != aErrNone) {
        aServer_Destroy(&server);
        return sServerFailed("aServer_Create: in use or served already", 0, 0);
    }
    uint16_t serverPort = 0;
    uint32_t serverInterface = 0;
    if (aServer_SetPort(server, *port) != aErrNone || aServer_Start(server) != aErrNone)
        return sServerFailed("aServer_Start:", 0, linkId);
    if (aServer_GetPort(server, &serverPort) != aErrNone)
        return sServerFailed("aServer_GetPort:", 0, linkId);
    if (aServer_GetInterface(server, &serverInterface) != aErrNone)
        return sServerFailed("aServer_GetInterface:", 0, linkId);

    /* Other clients connect to (interface, port); a reset of this one
     * reconnects there too. */
    char endpoint[64];
    aStream* stream = NULL;
    if (aServer_GetLocalEndpoint(server, endpoint, sizeof endpoint) != aErrNone ||
        aStream_CreateClientEndpoint(endpoint, &stream) != aErrNone)
        return sServerFailed("aLink_CreateClient:", 0, linkId);
    int32_t client = aLinkCreate_ClientOver(stream, serverInterface, serverPort);
    if (client == 0)
        return sServerFailed("aLink_CreateClient:", 0, linkId);
    if (aLinkTable_SetInner(client, linkId) != aErrNone)
        return sServerFailed("NULL != clientItem:", client, linkId);
    aErr err = aErrNotReady;
    for (int attempt = 0; attempt < aSERVER_FRONT_ATTEMPTS && err != aErrNone; ++attempt) {
        if (attempt > 0)
            aTime_MSSleep(aSERVER_FRONT_PAUSE_MS);
        err = _aLink_ConfigureServerDetails(client, server);
    }
    if (err != aErrNone)
        return sServerFailed("NULL != _getDeviceInfo:", client, linkId);
    *port = serverPort;
    *networkInterface = serverInterface;
    aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " aLink(%d) served on port %u by client aLink(%d)\n",
                     (int)linkId, (unsigned)serverPort, (int)client);
    return client;
}
