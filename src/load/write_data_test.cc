#include "load/write_data.h"

#include <gtest/gtest.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

namespace {

constexpr size_t kWordsPerSector = 512 / sizeof(uint64_t);

// Every 512-byte sector of `words` added to `seen`; false on the first repeat.
bool add_sectors(const std::vector<uint64_t>& words, std::set<std::string>* seen) {
  for (size_t at = 0; at < words.size(); at += kWordsPerSector) {
    const char* bytes = reinterpret_cast<const char*>(&words[at]);
    if (!seen->insert(std::string(bytes, 512)).second) return false;
  }
  return true;
}

TEST(WriteData, EveryWriteOfEveryThreadStoresSectorsNoOtherWriteStored) {
  const size_t nr_words = 4096 / sizeof(uint64_t);
  std::set<std::string> seen;
  for (int thread = 0; thread < 2; ++thread) {
    std::vector<uint64_t> buffer(nr_words);
    uint64_t seed = write_data_seed(buffer.data());
    fill_random_words(buffer.data(), nr_words, &seed);
    write_masks masks = {next_random_word(&seed), 0, 0};
    const std::vector<uint64_t> first = buffer;
    for (int write = 0; write < 1000; ++write) {
      prepare_next_write(buffer.data(), nr_words, &masks);
      ASSERT_TRUE(add_sectors(buffer, &seen)) << "thread " << thread << ", write " << write;
      for (size_t i = 0; i < nr_words; ++i) {
        ASSERT_NE(buffer[i], first[i]) << "word " << i << " of write " << write << " as filled";
      }
    }
  }
}

TEST(WriteData, SeedsDifferBetweenThreads) {
  const int a = 0, b = 0;
  EXPECT_NE(write_data_seed(&a), write_data_seed(&b));
}

}  // namespace
