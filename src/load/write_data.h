// What a thrasher's writes store: bytes no compressor or deduplicator can
// shortcut, so a write's latency is the time the storage really took.
//
// Each thrasher fills its write buffer once with pseudo-random words of its
// own seed, and before each write XORs every word with a fresh mask. The
// masks of one thread are distinct (a bijection of a counter), so every word
// of every write differs from the same word of any earlier write, and a
// record compressor finds no repeat across writes either.
//
// Thread safety: every function is pure or works on state the caller owns;
// write_data_seed() reads the clock and may be called from any thread.
#pragma once

#include <stddef.h>
#include <stdint.h>

// A 64-bit bijection with full avalanche (the splitmix64 finaliser).
inline uint64_t mix_bits(uint64_t value) {
  value = (value ^ (value >> 30)) * 0xbf58476d1ce4e5b9ull;
  value = (value ^ (value >> 27)) * 0x94d049bb133111ebull;
  return value ^ (value >> 31);
}

// The thread's own generator: a counter stepped by an odd constant, mixed.
// Not drand48, whose sequence decides every offset and kind of the run.
inline uint64_t next_random_word(uint64_t* state) {
  *state += 0x9e3779b97f4a7c15ull;
  return mix_bits(*state);
}

// A seed that differs for every thread (`distinct_address`: something the
// thread alone owns, such as its buffer) and for every run (clock, process).
uint64_t write_data_seed(const void* distinct_address);

// Fills `nr_words` words with the generator's output.
void fill_random_words(uint64_t* words, size_t nr_words, uint64_t* state);

// What one thread has done to its write buffer so far.
struct write_masks {
  uint64_t base;         // per thread and run
  uint64_t nr_writes;    // writes prepared so far
  uint64_t mask_in_use;  // every word now holds its first-filled value XOR this
};

// One pass over the buffer, outside the timed span, before each write: it
// then holds what no earlier write of this thread stored. `nr_words` is a
// multiple of 8.
inline void prepare_next_write(uint64_t* words, size_t nr_words, write_masks* masks) {
  masks->nr_writes += 1;
  const uint64_t next_mask = mix_bits(masks->base + masks->nr_writes);
  const uint64_t change = next_mask ^ masks->mask_in_use;
  // io_size is a multiple of 512 bytes, so the words come in whole sectors of
  // 64: eight at a time lets the compiler use vector XORs at plain -O2.
  for (size_t i = 0; i < nr_words; i += 8) {
    words[i] ^= change;
    words[i + 1] ^= change;
    words[i + 2] ^= change;
    words[i + 3] ^= change;
    words[i + 4] ^= change;
    words[i + 5] ^= change;
    words[i + 6] ^= change;
    words[i + 7] ^= change;
  }
  masks->mask_in_use = next_mask;
}
