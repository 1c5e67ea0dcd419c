#include "Log.h"

#include <cstdarg>

std::atomic<uint32_t> Log::package_bitmask{0};
std::atomic<FILE*> Log::fh{nullptr};

void Log::SetOutput(FILE* out) { fh = out; }
void Log::ActivatePackage(uint32_t bits) { package_bitmask |= bits; }
void Log::DeactivatePackage(uint32_t bits) { package_bitmask &= ~bits; }
uint32_t Log::ActivePackages() { return package_bitmask; }
bool Log::IsActive(uint32_t package) { return package == 0 || (package & package_bitmask) != 0; }

void Log::log(uint32_t package, const char* format, ...)
{
    FILE* out = fh.load();
    if (!IsActive(package) || !out)
        return;
    char buffer[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    fputs(buffer, out);
}
