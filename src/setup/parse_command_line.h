// Turning the positional command line into a run_config.
//
// Thread safety: parse_arguments() and the value parsers are pure;
// parse_command_line() may end the process and runs on the main thread only.
#pragma once

#include <stdint.h>

#include <string>

#include "setup/run_config.h"

// An unsigned integer in the manner of strtoul with base 0 (leading blanks, an
// optional '+', 0x for hex, a leading 0 for octal; empty is 0), refusing a
// minus sign, anything after the number, and values above `largest`.
bool parse_unsigned(const char* text, uint64_t largest, uint64_t* value);

// A fraction in the manner of strtod, refusing anything after the number,
// not-a-number, and values outside [0, 1].
bool parse_fraction(const char* text, double* value);

// Fills the argument fields of `parsed` (not fd or file_size) from argv[1..].
// Returns false when the count or any argument is rejected.
bool parse_arguments(int argc, const char* const* argv, run_config* parsed);

// The usage message for `program_name`, both lines.
std::string usage_text(const char* program_name);

// parse_arguments() into `config`, or the usage message and status 1.
void parse_command_line(int argc, char** argv);
