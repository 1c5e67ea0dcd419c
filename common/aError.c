/* Names and one-line descriptions of the aErr codes. */
#include "aError.h"

typedef struct {
    const char* name;
    const char* description;
} sErrorRow;

/* Indexed by code; the last row answers for every code outside the table. */
static const sErrorRow sErrorTable[] = {
    {"aErrNone", "Success, no error"},
    {"aErrMemory", "Memory allocation"},
    {"aErrParam", "Invalid parameter"},
    {"aErrNotFound", "Not found"},
    {"aErrFileNameLength", "File name too long"},
    {"aErrBusy", "Resource busy"},
    {"aErrIO", "Input/Output error"},
    {"aErrMode", "Invalid Mode"},
    {"aErrWrite", "Write error"},
    {"aErrRead", "Read error"},
    {"aErrEOF", "End of file"},
    {"aErrNotReady", "Not ready, no bytes available"},
    {"aErrPermission", "Insufficient permissions"},
    {"aErrRange", "Value out of range"},
    {"aErrSize", "Invalid Size"},
    {"aErrOverrun", "Buffer/queue overrun"},
    {"aErrParse", "Parse error"},
    {"aErrConfiguration", "Configuration error"},
    {"aErrTimeout", "Timeout occurred"},
    {"aErrInitialization", "Initialization error"},
    {"aErrVersion", "Invalid version"},
    {"aErrUnimplemented", "Functionality unimplemented"},
    {"aErrDuplicate", "Duplicate request"},
    {"aErrCancel", "Cancellation occurred, or did not complete"},
    {"aErrPacket", "Packet byte invalid"},
    {"aErrConnection", "Connection error"},
    {"aErrIndexRange", "Index out of range"},
    {"aErrShortCommand", "Tessaluma command to short"},
    {"aErrInvalidEntity", "Invalid entity error"},
    {"aErrInvalidOption", "Invalid option code"},
    {"aErrResource", "Resource unavailable"},
    {"aErrMedia", "Media error"},
    {"aErrAsyncReturn", "Asynchronous return error"},
    {"aErrStreamStale", "Stream value is stale"},
    {"aErrUnknown", "Unknown error"},
};

_Static_assert(sizeof sErrorTable / sizeof sErrorTable[0] == aErrUnknown + 1,
               "one row per aErr code");

/* The row for code; negative codes and codes past aErrUnknown get its row. */
static const sErrorRow* sRow(aErr code)
{
    long index = (long)code;
    if (index < 0 || index > (long)aErrUnknown)
        index = aErrUnknown;
    return &sErrorTable[index];
}

/* The code's name, e.g. "aErrTimeout"; never null. */
const char* aError_GetErrorText(aErr code)
{
    return sRow(code)->name;
}

/* The code's one-line description; never null. */
const char* aError_GetErrorDescription(aErr code)
{
    return sRow(code)->description;
}
