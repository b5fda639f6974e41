#include "store/record_format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "store/block_record.h"

namespace {

using namespace std::string_literals;

// A datum points into the string it was made from, so a temporary must not
// be accepted; a named string must.
template <typename T>
concept DatumOverAccepts = requires(T&& bytes) {
  datum_over(std::forward<T>(bytes));
};
static_assert(DatumOverAccepts<const std::string&>);
static_assert(DatumOverAccepts<std::string&>);
static_assert(!DatumOverAccepts<std::string>);
static_assert(!DatumOverAccepts<const std::string>);

TEST(StoredKey, CarriesItsNulAndReadsBack) {
  const struct Case {
    std::string text;
    std::string stored;
  } cases[] = {
      {"", "\0"s},
      {"box@host", "box@host\0"s},
      {"Precedence: bulk\r", "Precedence: bulk\r\0"s},
      {"\xff\x80 ", "\xff\x80 \0"s},
  };
  for (const Case& c : cases) {
    const std::string key = stored_key(c.text);
    EXPECT_EQ(key, c.stored) << c.text;
    EXPECT_EQ(key_text(key), c.text) << c.text;
    // What GDBM is handed is the whole key, NUL byte included, in place.
    const datum d = datum_over(key);
    EXPECT_EQ(d.dptr, key.data());
    EXPECT_EQ(d.dsize, static_cast<int>(c.text.size() + 1));
  }
}

TEST(KeyText, NoneForKeysNoLookupCanFind) {
  for (const std::string& key : {""s, "box@host"s, "box\0@host\0"s, "\0\0"s}) {
    EXPECT_EQ(key_text(key), std::nullopt) << key.size() << " bytes";
  }
}

TEST(BlockTime, EightHostOrderBytesThatReadBack) {
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  for (const int64_t seconds :
       {int64_t{0}, int64_t{1}, int64_t{-1}, int64_t{1700000000}, kMin, kMax}) {
    const std::string bytes = encode_block_time(seconds);
    ASSERT_EQ(bytes.size(), 8u);
    int64_t in_memory;
    memcpy(&in_memory, bytes.data(), sizeof in_memory);
    EXPECT_EQ(in_memory, seconds);
    EXPECT_EQ(decode_block_time(bytes), seconds);
    // Bytes after the first eight do not change the time.
    EXPECT_EQ(decode_block_time(bytes + "trailing"), seconds);
  }
}

TEST(BlockTime, AValueShorterThanEightBytesIsNoRecord) {
  const std::string full = encode_block_time(1700000000);
  for (size_t size = 0; size < 8; ++size) {
    EXPECT_EQ(decode_block_time(full.substr(0, size)), std::nullopt) << size << " bytes";
  }
}

}  // namespace
