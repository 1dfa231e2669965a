#include "setup/parse_command_line.h"

#include <ctype.h>
#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "common/failure.h"

namespace {

constexpr uint64_t kLargestUnsigned32 = UINT32_MAX;
constexpr unsigned kIoSizeUnitBytes = 512;

}  // namespace

bool parse_unsigned(const char* text, uint64_t largest, uint64_t* value) {
  const char* first = text;
  while (isspace(static_cast<unsigned char>(*first))) ++first;
  // strtoull would quietly negate "-1" into the largest value.
  if (*first == '-') return false;
  if (*first == '+') ++first;
  // Newer C libraries read 0b as a binary prefix; this tool never has.
  if (first[0] == '0' && (first[1] == 'b' || first[1] == 'B')) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long parsed = strtoull(text, &end, 0);
  if (errno == ERANGE || *end != '\0' || parsed > largest) return false;
  *value = parsed;
  return true;
}

bool parse_fraction(const char* text, double* value) {
  char* end = nullptr;
  double parsed = strtod(text, &end);
  if (*end != '\0' || isnan(parsed) || parsed < 0 || parsed > 1) return false;
  *value = parsed;
  return true;
}

bool parse_arguments(int argc, const char* const* argv, run_config* parsed) {
  if (argc != 7 && argc != 8) return false;
  parsed->filename = argv[1];
  uint64_t interval = 0;
  uint64_t samples = 0;
  if (!parse_unsigned(argv[2], UINT64_MAX, &parsed->nr_threads) || parsed->nr_threads == 0) {
    return false;
  }
  if (!parse_fraction(argv[3], &parsed->write_fraction_of_io)) return false;
  if (!parse_fraction(argv[4], &parsed->fsync_fraction_of_writes)) return false;
  if (!parse_unsigned(argv[5], UINT64_MAX, &parsed->io_size) ||
      (parsed->io_size & (kIoSizeUnitBytes - 1)) != 0 || parsed->io_size == 0) {
    return false;
  }
  if (!parse_unsigned(argv[6], kLargestUnsigned32, &interval) || interval == 0) return false;
  if (argc == 8 && !parse_unsigned(argv[7], kLargestUnsigned32, &samples)) return false;
  parsed->nr_seconds_between_samples = static_cast<uint32_t>(interval);
  parsed->nr_samples = static_cast<uint32_t>(samples);
  return true;
}

std::string usage_text(const char* program_name) {
  const char* const format =
      "usage: %s filename nr_threads write_fraction_of_io fsync_fraction_of_writes io_size "
      "nr_seconds_between_samples [nr_samples]\nio_size must be a positive multiple of %u "
      "bytes\n";
  std::string text(
      static_cast<size_t>(snprintf(nullptr, 0, format, program_name, kIoSizeUnitBytes)), '\0');
  snprintf(text.data(), text.size() + 1, format, program_name, kIoSizeUnitBytes);
  return text;
}

void parse_command_line(int argc, char** argv) {
  if (parse_arguments(argc, argv, &config)) return;
  fail_with_message(usage_text(argc > 0 ? argv[0] : "iothrash").c_str());
}
