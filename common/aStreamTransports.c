/* Socket and serial streams: the Linux transports of platform/ put behind the
 * stream slots. The platform half opens, reads and writes; the stream is made
 * here so that the platform library needs nothing of the stream object. */
#include "aStream.h"
#include "aStreamSerial.h"
#include "aStreamSocket.h"

/* A serial port's reader sleeps on the port; its writes always wait for the
 * bytes to leave, so a caller never writes past its queue on it. */
static const aStreamExtras kSerialExtras = {aStreamSerial_AwaitInput, aStreamSerial_Interrupt, NULL};

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream)
{
    if (stream == NULL)
        return aErrParam;
    *stream = NULL;
    void* transport = NULL;
    if (aStreamSocket_Open(address, port, &transport) != aErrNone)
        return aErrResource;
    *stream = aStream_Create(aStreamSocket_Get, NULL, aStreamSocket_Write, aStreamSocket_Delete,
                             transport);
    if (*stream == NULL) {
        aStreamSocket_Delete(transport);
        return aErrResource;
    }
    const aStreamExtras extras = {aStreamSocket_AwaitInput, aStreamSocket_Interrupt,
                                  aStreamSocket_WriteAtOnce};
    aStream_SetExtras(*stream, &extras, transport);
    return aErrNone;
}

aErr aStream_CreateSerial(const char* path, unsigned int baudCode, int parity,
                          unsigned int dataBitsMode, unsigned int stopBitsMode, aStream** stream)
{
    if (stream == NULL)
        return aErrParam;
    *stream = NULL;
    void* transport = NULL;
    aErr err = aStreamSerial_Open(path, baudCode, parity, dataBitsMode, stopBitsMode, &transport);
    if (err != aErrNone)
        return err;
    *stream = aStream_Create(aStreamSerial_Get, aStreamSerial_Put, aStreamSerial_Write,
                             aStreamSerial_Delete, transport);
    if (*stream == NULL) {
        aStreamSerial_Delete(transport);
        return aErrMemory;
    }
    aStream_SetExtras(*stream, &kSerialExtras, transport);
    return aErrNone;
}

aErr aStream_CreateSerial_Packetized(const char* path, unsigned int baudCode, int parity,
                                     unsigned int dataBitsMode, unsigned int stopBitsMode,
                                     aStream** stream)
{
    if (stream == NULL)
        return aErrParam;
    *stream = NULL;
    void* transport = NULL;
    aErr err = aStreamSerial_Open(path, baudCode, parity, dataBitsMode, stopBitsMode, &transport);
    if (err != aErrNone)
        return err;
    err = aStream_CreateCobsEncodingOver(aStreamSerial_Get, aStreamSerial_Put, aStreamSerial_Write,
                                         aStreamSerial_Delete, &kSerialExtras, transport, stream);
    if (err != aErrNone)
        aStreamSerial_Delete(transport);
    return err;
}
