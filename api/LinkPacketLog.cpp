// The packet log of a Link: the engine records every packet in its debug
// ring; a logger thread empties the ring into a text file, one line per
// entry ("> " sent, "< " received, "# " a note), bytes in hexadecimal.
#include "LinkImpl.h"

#include <cstdint>

#include "aFile.h"
#include "aTime.h"

namespace Tarvelin {
namespace Tessaluma {

namespace {

constexpr unsigned long kIdleMs = 10;
const uint8_t kStartNote[] = {'S', 'T', 'A', 'R', 'T', 0};

// Runs on the logger's thread; the identifier is the engine link's number,
// fixed for the logger's whole life.
void writeLogEntries(aFile* file, void* identifier)
{
    const auto stem = static_cast<int32_t>(reinterpret_cast<intptr_t>(identifier));
    bool wrote = false;
    for (;;) {
        uint8_t type = 0;
        uint8_t bytes[256];
        size_t length = sizeof bytes;
        if (aLink_PacketDebug_Read(stem, &type, &length, bytes) != aErrNone)
            break;
        wrote = true;
        if (type == aLINK_LOG_USER) {
            aFile_Printf(file, "# %.*s\n", int(length), reinterpret_cast<const char*>(bytes));
            continue;
        }
        aFile_Printf(file, "%s", type == aLINK_LOG_SENT ? ">" : "<");
        for (size_t i = 0; i < length; ++i)
            aFile_Printf(file, " %02X", bytes[i]);
        aFile_Printf(file, "\n");
    }
    if (!wrote)
        aTime_MSSleep(kIdleMs);
}

}  // namespace

aErr Link::enablePacketLog(const char* path)
{
    if (m_impl == nullptr || m_impl->m_stem == 0)
        return aErrConfiguration;
    if (path == nullptr)
        return aErrParam;
    const int32_t stem = m_impl->m_stem;
    aErr err = aLink_PacketDebug_Enable(stem);
    if (err != aErrNone)
        return err;
    if (m_impl->packetLogger == nullptr) {
        m_impl->packetLogger =
            aLogger_Create(reinterpret_cast<void*>(static_cast<intptr_t>(stem)), writeLogEntries, path);
        if (m_impl->packetLogger == nullptr)
            return aErrIO;
    }
    err = aLogger_Enable(m_impl->packetLogger);
    if (err != aErrNone)
        return err;
    return aLink_PacketDebug_Write(stem, aLINK_LOG_USER, sizeof kStartNote, kStartNote);
}

aErr Link::disablePacketLog()
{
    if (m_impl == nullptr || m_impl->m_stem == 0)
        return aErrConfiguration;
    aErr err = aLink_PacketDebug_Disable(m_impl->m_stem);
    if (m_impl->packetLogger != nullptr) {
        aErr loggerErr = aLogger_Disable(m_impl->packetLogger);
        if (err == aErrNone)
            err = loggerErr;
    }
    return err;
}

}  // namespace Tessaluma
}  // namespace Tarvelin
