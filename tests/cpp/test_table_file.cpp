#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "table_file.hpp"

namespace tf = varlo::tablefile;

namespace {

TEST(TableFile, Xxh64MatchesPublishedValues) {
  EXPECT_EQ(tf::xxh64("", 0, 0), 0xEF46DB3751D8E999ULL);
  EXPECT_EQ(tf::xxh64("a", 1, 0), 0xD24EC4F1A98C6E5BULL);
  EXPECT_EQ(tf::xxh64("abc", 3, 0), 0x44BC2CF5AD770999ULL);
  // Over the 32-byte stripes, with a tail and a seed (reference: the xxhash package).
  std::vector<unsigned char> d(1000);
  for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<unsigned char>(i * 31);
  EXPECT_EQ(tf::xxh64(d.data(), d.size(), 0), 0xB1280F6428126532ULL);
  EXPECT_EQ(tf::xxh64(d.data(), 37, 12345), 0x663A25A809514496ULL);
}

class Entries : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() / ("varlo_tf_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                                    ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  // Pieces of 3 and 1500000 bytes: a padded piece and one over a checksum block.
  std::filesystem::path write(const std::string& name) {
    a.assign(3, std::byte{7});
    b.resize(1'500'000);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::byte>(i * 31);
    const std::vector<std::span<const std::byte>> pieces{a, b};
    const auto file = dir / name;
    EXPECT_TRUE(tf::write_entry(file, "{\"h\": 1}", pieces));
    return file;
  }

  std::filesystem::path dir;
  std::vector<std::byte> a, b;
};

TEST_F(Entries, RoundTripAndEveryDamageIsRefused) {
  const auto file = write("x.vtc");
  const auto entry = tf::read_entry(file);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->header, "{\"h\": 1}");
  const auto offsets = tf::piece_offsets(std::vector<std::size_t>{3, b.size()});
  ASSERT_EQ(entry->payload_size, offsets[2]);
  EXPECT_EQ(std::memcmp(entry->payload->get(), a.data(), 3), 0);
  EXPECT_EQ(std::memcmp(entry->payload->get() + offsets[1], b.data(), b.size()), 0);

  const auto size = std::filesystem::file_size(file);
  for (const std::uintmax_t at : {std::uintmax_t{40}, size - 10}) {  // header, last payload block
    write("x.vtc");
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(at));
    f.put('\x55');
    f.close();
    EXPECT_FALSE(tf::read_entry(file)) << at;
  }
  write("x.vtc");
  std::filesystem::resize_file(file, size - 1);
  EXPECT_FALSE(tf::read_entry(file));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);  // no temporary left behind
}

TEST_F(Entries, EvictionKeepsTheMostRecentlyUsedWithinTheLimit) {
  const auto old = write("old.vtc");
  const auto recent = write("recent.vtc");
  std::ofstream(dir / "notes.txt") << "not ours";
  std::filesystem::last_write_time(old, std::filesystem::last_write_time(recent) - std::chrono::hours(1));
  tf::evict(dir, std::filesystem::file_size(recent));
  EXPECT_FALSE(std::filesystem::exists(old));
  EXPECT_TRUE(std::filesystem::exists(recent));
  EXPECT_TRUE(std::filesystem::exists(dir / "notes.txt"));
}

}  // namespace
