#include "BuildNumber.h"

#include <cctype>
#include <limits>

#include "Log.h"

bool _parse_build_number(const std::string& text, uint32_t& value)
{
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    if (i == text.size() || !std::isdigit(static_cast<unsigned char>(text[i])))
        return false;
    uint64_t number = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        unsigned digit = static_cast<unsigned>(text[i] - '0');
        if (number > (std::numeric_limits<uint64_t>::max() - digit) / 10)
            return false;
        number = number * 10 + digit;
    }
    value = static_cast<uint32_t>(number);
    return true;
}

uint32_t _build_number_or_zero(const std::string& text)
{
    uint32_t value = 0;
    if (!_parse_build_number(text, value)) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
        return 0;
    }
    return value;
}
