// The usage texts: the short one shown with every usage, and the blocks of
// the full help.
#pragma once

#include <cstdio>
#include <string>

// Writes the short usage to out.
void _print_short_usage(FILE* out);

// Writes the short usage and, when helpGiven, the parameter, command and
// sample blocks; the extended blocks come in only when extended as well.
void _print_usage(FILE* out, bool extended, bool helpGiven);

// One help entry: the option padded to column 30, a dash, and the text
// wrapped into 80 columns with continuation lines starting at column 32.
std::string _usage_entry(const char* option, const char* text);
