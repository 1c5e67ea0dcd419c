// Build numbers as the flows read them from text.
#pragma once

#include <cstdint>
#include <string>

// Unsigned decimal: leading white space skipped, the leading digits read, any
// trailing text ignored. False when there is no digit or the number does not
// fit in 64 bits; otherwise value holds the number kept in 32 bits.
bool _parse_build_number(const std::string& text, uint32_t& value);

// The same, logging "Error: Could not convert %s to int.\n" and giving 0 when
// the text is not a number.
uint32_t _build_number_or_zero(const std::string& text);
