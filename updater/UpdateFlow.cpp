// Writing firmware into running modules: not carried by this build yet.
#include <stdexcept>

#include "Updater.h"
#include "Unavailable.h"

#if __has_include("BirdFile.h")
#include "BirdFile.h"

BirdFile Updater::load_bird(const char*, const std::string&, uint32_t, uint32_t, bool)
{
    // The caller reports what it catches, so nothing is shown here.
    throw std::runtime_error("load_bird is not available in this build");
}
#endif

bool Updater::Update_Firmware(uint32_t, uint32_t, const std::string&, uint8_t, uint32_t, bool)
{
    _report_unavailable(display, "Update_Firmware");
    return false;
}
