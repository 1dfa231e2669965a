#include "load/write_data.h"

#include <time.h>
#include <unistd.h>

uint64_t write_data_seed(const void* distinct_address) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  const uint64_t run = mix_bits(static_cast<uint64_t>(now.tv_sec) * 1000000000ull +
                                static_cast<uint64_t>(now.tv_nsec)) ^
                       mix_bits(static_cast<uint64_t>(getpid()) << 32);
  return mix_bits(run ^ reinterpret_cast<uintptr_t>(distinct_address));
}

void fill_random_words(uint64_t* words, size_t nr_words, uint64_t* state) {
  for (size_t i = 0; i < nr_words; ++i) words[i] = next_random_word(state);
}
