// Recovery through the chip boot loaders and fingerprints: not carried by
// this build yet.
#include "Updater.h"
#include "Unavailable.h"

bool Updater::Recover_Firmware(const std::string&, uint32_t, uint32_t, uint32_t, const std::string&, bool)
{
    _report_unavailable(display, "Recover_Firmware");
    return false;
}

bool Updater::Get_Fingerprint(Fingerprint&, const std::string&, uint32_t, const std::string&, uint32_t, bool)
{
    _report_unavailable(display, "Get_Fingerprint");
    return false;
}
