/* Links per transport (TCP/IP, packetised serial, link-server clients), the
 * rebuilding of a link's transport on reset, and the module queries a server
 * in front of a link asks. */
#include "aLinkInternal.h"
#include "aStreamClient.h"

#include <stdatomic.h>
#include <stdlib.h>

#define aLINK_RECREATE_ATTEMPTS 20
#define aLINK_RECREATE_PAUSE_MS 100
#define aLINK_QUERY_MS 1000

/* UEI get of the system entity's model (command 3, option 8, index 0). */
#define aLINK_SYSTEM_CMD 3
#define aLINK_MODEL_OPTION 0x48
#define aLINK_REQUEST_INDEX 0x20

/* Serial speeds, in the order of their baud codes. */
static const uint32_t sBaudRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

/* The baud code of a rate, or -1 for a rate the serial stream does not offer. */
static int sBaudCode(uint32_t baudRate)
{
    for (size_t i = 0; i < sizeof sBaudRates / sizeof sBaudRates[0]; ++i)
        if (sBaudRates[i] == baudRate)
            return (int)i;
    return -1;
}

int32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port)
{
    int32_t shared = aLinkTable_Share(aLINK_TYPE_TCPIP, (int32_t)serialNumber);
    if (shared != 0)
        return shared;
    if (aLinkTable_IsServed(aLINK_TYPE_TCPIP, (int32_t)serialNumber))
        return 0;
    aStream* stream = NULL;
    aErr err = aStream_CreateSocket(address, port, &stream);
    if (err != aErrNone || stream == NULL) {
        aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " aLink_CreateTCPIP: no connection: %d\n",
                         (int)err);
        return 0;
    }
    return aLinkTable_CreateLink(stream, aLINK_TYPE_TCPIP, (int32_t)serialNumber,
                                 (int32_t)address, (int32_t)port, NULL);
}

int32_t aLink_CreateSerial(uint32_t serialNumber, const char* devicePath, uint32_t baudRate)
{
    int code = sBaudCode(baudRate);
    if (devicePath == NULL || code < 0)
        return 0;
    int32_t shared = aLinkTable_Share(aLINK_TYPE_SERIAL, (int32_t)serialNumber);
    if (shared != 0)
        return shared;
    aStream* stream = NULL;
    aErr err = aStream_CreateSerial_Packetized(devicePath, (unsigned)code, 0, 0, 0, &stream);
    if (err != aErrNone || stream == NULL) {
        aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " aLink_CreateSerial: cannot open %s: %d\n",
                         devicePath, (int)err);
        return 0;
    }
    return aLinkTable_CreateLink(stream, aLINK_TYPE_SERIAL, (int32_t)serialNumber, 0,
                                 (int32_t)code, devicePath);
}

/* Client links are told apart by a counter of their own, never shared by
 * address: each holder of a server gets its own conversation. */
static atomic_int gClientCounter = 0;

int32_t aLinkCreate_ClientOver(aStream* stream, uint32_t address, uint16_t port)
{
    if (stream == NULL)
        return 0;
    int32_t sequence = atomic_fetch_add(&gClientCounter, 1);
    return aLinkTable_CreateLink(stream, aLINK_TYPE_CLIENT, (int32_t)address, (int32_t)port,
                                 sequence, NULL);
}

int32_t aLink_CreateClient(uint32_t address, uint16_t port, int32_t reference)
{
    if (reference != 0) {
        int32_t shared = aLinkTable_ShareId(reference);
        if (shared == 0)
            aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, "The provided ref is invalid.\n");
        return shared;
    }
    aStream* stream = NULL;
    aErr err = aStream_CreateClient(address, port, &stream);
    if (err != aErrNone || stream == NULL) {
        aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " aLink_CreateClient: no stream: %d\n", (int)err);
        return 0;
    }
    return aLinkCreate_ClientOver(stream, address, port);
}

/* A new stream for the entry's transport; serial links are reopened with the
 * path and baud code they were made with. */
static aErr sRecreateStream(int32_t type, int32_t key0, int32_t key1, int32_t key2,
                            const char* path, aStream** stream)
{
    if (type == aLINK_TYPE_USB) {
        aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " recreate USB stream\n");
        return aStream_CreateUSB((uint32_t)key0, stream);
    }
    if (type == aLINK_TYPE_TCPIP) {
        aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " recreate TCPIP stream\n");
        return aStream_CreateSocket((uint32_t)key1, (uint16_t)key2, stream);
    }
    if (type >= aLINK_TYPE_CLIENT && type <= aLINK_TYPE_CLIENT_LAST) {
        aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " recreate aEther stream\n");
        return aStream_CreateClient((uint32_t)key0, (uint16_t)key1, stream);
    }
    aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " recreate serial stream\n");
    return aStream_CreateSerial_Packetized(path, (unsigned)key2, 0, 0, 0, stream);
}

/* Frees the stream a reset replaces, unless a caller is still writing on it
 * itself (a write that must reconnect can outlast the wait for it): that one
 * is kept until the record goes, or, with no memory to note it in, for good. */
static void sRetireStream(aLink* link, aStream* stream, bool writerInside)
{
    if (stream == NULL)
        return;
    if (!writerInside) {
        aStream_Destroy(&stream);
        return;
    }
    aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " aLink(%d) old stream kept for a write\n",
                     (int)link->id);
    aLinkRetiredStream* retired = (aLinkRetiredStream*)malloc(sizeof *retired);
    if (retired == NULL)
        return;
    retired->stream = stream;
    retired->next = link->retired;
    link->retired = retired;
}

/* Checks that the transport can be rebuilt before anything is torn down, so a
 * link over a caller-made stream keeps working when a reset is refused. A
 * destroy meanwhile cuts the attempts short and leaves the link stopped. */
static aErr sReset(aLink* link, int32_t linkId)
{
    int32_t type = 0, key0 = 0, key1 = 0, key2 = 0;
    char* path = NULL;
    aErr err = aLinkTable_GetKeys(linkId, &type, &key0, &key1, &key2, &path);
    if (err != aErrNone)
        return err;
    if (type != aLINK_TYPE_USB && type != aLINK_TYPE_TCPIP &&
        !(type >= aLINK_TYPE_CLIENT && type <= aLINK_TYPE_CLIENT_LAST) &&
        !(type == aLINK_TYPE_SERIAL && path != NULL)) {
        aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " recreate invalid stream type\n");
        free(path);
        return aErrParam;
    }

    aLinkControl_Stop(link);
    uint64_t input = atomic_exchange(&link->inputFifo, 0);
    uint64_t output = atomic_exchange(&link->outputFifo, 0);
    aPacketFifo_Destroy(&input);
    bool writerInside = aPacketFifo_Destroy(&output) == aErrBusy;
    sRetireStream(link, atomic_exchange(&link->stream, NULL), writerInside);

    aStream* stream = NULL;
    for (int attempt = 0; attempt < aLINK_RECREATE_ATTEMPTS && !atomic_load(&link->closing);
         ++attempt) {
        err = sRecreateStream(type, key0, key1, key2, path, &stream);
        if (err == aErrNone && stream != NULL)
            break;
        if (err == aErrNone)
            err = aErrResource;
        stream = NULL;
        aTime_MSSleep(aLINK_RECREATE_PAUSE_MS);
    }
    free(path);
    if (stream == NULL && err == aErrNone)
        err = aErrCancel;
    if (stream == NULL)
        aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " ERROR - could not recreate stream: %d\n",
                         (int)err);
    aErr initErr = aLinkControl_Init(link, linkId, stream);
    if (stream == NULL)
        return err;
    if (initErr != aErrNone)
        return initErr;
    if (atomic_load(&link->closing))
        return aErrCancel;
    return aLinkControl_Start(link);
}

aErr aLink_Reset(int32_t linkId)
{
    aLinkEntry* pin = aLinkTable_Acquire(linkId);
    if (pin == NULL)
        return aErrParam;
    aErr err = sReset(pin->link, linkId);
    aLinkTable_Release(pin);
    return err;
}

/* Sends one request and waits for the next incoming packet. */
static aErr sQuery(int32_t linkId, uint8_t address, uint8_t length, const uint8_t* data,
                   aPacket** reply)
{
    aPacket* request = aPacket_CreateWithData(address, length, data);
    if (request == NULL)
        return aErrMemory;
    aErr err = aLink_PutPacket(linkId, request);
    aPacket_Destroy(&request);
    if (err != aErrNone)
        return err;
    *reply = aLink_AwaitPacket(linkId, aLINK_QUERY_MS);
    return *reply ? aErrNone : aErrTimeout;
}

aErr _aLink_GetModuleAddress(int32_t linkId, uint8_t* address)
{
    static const uint8_t none = 0;
    if (address == NULL)
        return aErrParam;
    aPacket* reply = NULL;
    aErr err = sQuery(linkId, aPACKET_ADDRESS_SYNC, 0, &none, &reply);
    if (err != aErrNone)
        return err;
    uint8_t from = 0, length = 0;
    aPacket_GetAddress(reply, &from);
    aPacket_GetLength(reply, &length);
    aPacket_Destroy(&reply);
    if (length != 0 || from == 0)
        return aErrIO;
    *address = from;
    return aErrNone;
}

aErr _aLink_GetModel(int32_t linkId, uint8_t address, uint8_t* model)
{
    static const uint8_t get[3] = {aLINK_SYSTEM_CMD, aLINK_MODEL_OPTION, aLINK_REQUEST_INDEX};
    if (model == NULL)
        return aErrParam;
    aPacket* reply = NULL;
    aErr err = sQuery(linkId, address, sizeof get, get, &reply);
    if (err != aErrNone)
        return err;
    uint8_t from = 0, length = 0;
    aPacket_GetAddress(reply, &from);
    aPacket_GetLength(reply, &length);
    const uint8_t* data = aPacket_GetData(reply);
    err = aErrIO;
    if (length == 4 && from == address && data[0] == aLINK_SYSTEM_CMD) {
        *model = data[3];
        err = aErrNone;
    }
    aPacket_Destroy(&reply);
    return err;
}
