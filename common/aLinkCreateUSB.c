/* Links to USB-attached modules, shared per serial number. Unlike the other
 * transports a USB link is synchronised before it is handed out, so that the
 * first request already reaches the module. */
#include "aLinkInternal.h"

int32_t aLink_CreateUSB(uint32_t serialNumber)
{
    if (serialNumber == 0)
        return 0;
    int32_t shared = aLinkTable_Share(aLINK_TYPE_USB, (int32_t)serialNumber);
    if (shared != 0)
        return shared;
    /* A served module is reached through its server, never opened twice. */
    if (aLinkTable_IsServed(aLINK_TYPE_USB, (int32_t)serialNumber))
        return 0;
    aStream* stream = NULL;
    aErr err = aStream_CreateUSB(serialNumber, &stream);
    if (err != aErrNone || stream == NULL) {
        aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " aLink_CreateUSB: cannot open %08X: %d\n",
                         (unsigned)serialNumber, (int)err);
        return 0;
    }
    int32_t linkId =
        aLinkTable_CreateLink(stream, aLINK_TYPE_USB, (int32_t)serialNumber, 0, 0, NULL);
    if (linkId == 0)
        return 0;
    err = aLink_Sync(linkId);
    if (err != aErrNone) {
        aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " aLink_CreateUSB(%d): no sync: %d\n",
                         (int)linkId, (int)err);
        aLink_Destroy(&linkId);
        return 0;
    }
    return linkId;
}
