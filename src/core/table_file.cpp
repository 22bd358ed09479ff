// Table cache entries on disk (declared in table_file.hpp).
#include "table_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <system_error>
#include <thread>

namespace varlo::tablefile {

namespace {

// Entries are little-endian; they are read and written by copying integers as they lie in memory.
static_assert(std::endian::native == std::endian::little);

constexpr std::array<char, 8> kMagic = {'V', 'A', 'R', 'L', 'O', 'T', 'B', '1'};
constexpr std::size_t kPrefix = 32;
// Coarse file-system clocks tick in milliseconds to two seconds; a change within this window of the
// last one may leave the time stamps unchanged.
constexpr std::int64_t kRacyNs = 2'000'000'000;
// A temporary file this old belongs to a writer that is gone.
constexpr auto kAbandoned = std::chrono::hours(1);
constexpr std::size_t kBlock = std::size_t{1} << 20;

constexpr std::uint64_t P1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t P2 = 0xC2B2AE3D27D4EB4FULL;
constexpr std::uint64_t P3 = 0x165667B19E3779F9ULL;
constexpr std::uint64_t P4 = 0x85EBCA77C2B2AE63ULL;
constexpr std::uint64_t P5 = 0x27D4EB2F165667C5ULL;

std::uint64_t load64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
std::uint32_t load32(const unsigned char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
void store64(unsigned char* p, std::uint64_t v) {
  std::memcpy(p, &v, 8);
}

std::uint64_t round(std::uint64_t acc, std::uint64_t input) { return std::rotl(acc + input * P2, 31) * P1; }
std::uint64_t merge(std::uint64_t acc, std::uint64_t v) { return (acc ^ round(0, v)) * P1 + P4; }

// XXH64 over bytes fed in parts of any size: the same digest as over their concatenation.
class Xxh64 {
 public:
  explicit Xxh64(std::uint64_t seed) : seed_(seed), v_{seed + P1 + P2, seed + P2, seed, seed - P1} {}

  void update(const unsigned char* p, std::size_t n) {
    total_ += n;
    if (fill_ + n < 32) {
      if (n > 0) std::memcpy(stripe_.data() + fill_, p, n);
      fill_ += n;
      return;
    }
    if (fill_ > 0) {
      const std::size_t take = 32 - fill_;
      std::memcpy(stripe_.data() + fill_, p, take);
      consume(stripe_.data());
      p += take;
      n -= take;
      fill_ = 0;
    }
    for (; n >= 32; p += 32, n -= 32) consume(p);
    if (n > 0) std::memcpy(stripe_.data(), p, n);
    fill_ = n;
  }

  std::uint64_t digest() const {
    std::uint64_t h;
    if (total_ >= 32) {
      h = std::rotl(v_[0], 1) + std::rotl(v_[1], 7) + std::rotl(v_[2], 12) + std::rotl(v_[3], 18);
      for (const std::uint64_t v : v_) h = merge(h, v);
    } else {
      h = seed_ + P5;
    }
    h += total_;
    const unsigned char* p = stripe_.data();
    const unsigned char* const end = p + fill_;
    for (; p + 8 <= end; p += 8) h = std::rotl(h ^ round(0, load64(p)), 27) * P1 + P4;
    if (p + 4 <= end) {
      h = std::rotl(h ^ (std::uint64_t{load32(p)} * P1), 23) * P2 + P3;
      p += 4;
    }
    for (; p < end; ++p) h = std::rotl(h ^ (std::uint64_t{*p} * P5), 11) * P1;
    h ^= h >> 33;
    h *= P2;
    h ^= h >> 29;
    h *= P3;
    h ^= h >> 32;
    return h;
  }

 private:
  void consume(const unsigned char* p) {
    for (std::size_t k = 0; k < 4; ++k) v_[k] = round(v_[k], load64(p + 8 * k));
  }

  std::uint64_t seed_;
  std::array<std::uint64_t, 4> v_;
  std::array<unsigned char, 32> stripe_{};
  std::size_t fill_ = 0;
  std::uint64_t total_ = 0;
};

// The payload checksum, fed in parts as a writer streams them out: XXH64 over each kBlock-sized block in
// turn, each seeded with the digest so far.
class PayloadHash {
 public:
  explicit PayloadHash(std::uint64_t seed) : h_(seed), block_(seed) {}

  void update(const std::byte* data, std::size_t n) {
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    while (n > 0) {
      const std::size_t take = std::min(n, kBlock - in_block_);
      block_.update(p, take);
      p += take;
      n -= take;
      in_block_ += take;
      if (in_block_ == kBlock) {
        h_ = block_.digest();
        block_ = Xxh64(h_);
        in_block_ = 0;
      }
    }
  }

  std::uint64_t digest() const { return in_block_ > 0 ? block_.digest() : h_; }

 private:
  std::uint64_t h_;
  Xxh64 block_;
  std::size_t in_block_ = 0;
};

// A file descriptor closed on every path.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool read_all(int fd, void* out, std::size_t n) {
  auto* p = static_cast<char*>(out);
  while (n > 0) {
    const ssize_t got = ::read(fd, p, n);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

bool write_all(int fd, const void* data, std::size_t n) {
  const auto* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t put = ::write(fd, p, n);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    p += put;
    n -= static_cast<std::size_t>(put);
  }
  return true;
}

std::int64_t ns_of(const struct timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

Buffer allocate(std::size_t n) {
  void* p = std::aligned_alloc(kAlign, aligned(std::max<std::size_t>(n, 1)));
  if (p == nullptr) throw std::bad_alloc();
  return Buffer(static_cast<std::byte*>(p));
}

}  // namespace

void FreeDeleter::operator()(std::byte* p) const noexcept { std::free(p); }

std::optional<FileId> identify(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                static_cast<std::uint64_t>(st.st_size), ns_of(st.st_mtim), ns_of(st.st_ctim)};
}

bool racy(const FileId& id) {
  const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  return id.ctime_ns > now - kRacyNs || id.mtime_ns > now - kRacyNs;
}

std::uint64_t xxh64(const void* data, std::size_t len, std::uint64_t seed) {
  Xxh64 h(seed);
  h.update(static_cast<const unsigned char*>(data), len);
  return h.digest();
}

std::vector<std::size_t> piece_offsets(std::span<const std::size_t> lengths) {
  std::vector<std::size_t> out;
  out.reserve(lengths.size() + 1);
  std::size_t at = 0;
  for (const std::size_t n : lengths) {
    out.push_back(at);
    at = aligned(at + n);
  }
  out.push_back(at);
  return out;
}

std::optional<Entry> read_entry(const std::filesystem::path& file) {
  Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  const auto file_size = static_cast<std::uint64_t>(st.st_size);
  std::array<unsigned char, kPrefix> prefix{};
  if (file_size < kPrefix || !read_all(fd.get(), prefix.data(), kPrefix)) return std::nullopt;
  if (std::memcmp(prefix.data(), kMagic.data(), kMagic.size()) != 0) return std::nullopt;
  const std::uint64_t header_len = load64(prefix.data() + 8);
  const std::uint64_t payload_len = load64(prefix.data() + 16);
  const std::uint64_t checksum = load64(prefix.data() + 24);
  // Lengths are checked against the file before anything is allocated from them.
  if (header_len > file_size || payload_len > file_size) return std::nullopt;
  const std::uint64_t region = aligned(kPrefix + header_len) - kPrefix;
  if (kPrefix + region + payload_len != file_size) return std::nullopt;

  std::string head(region, '\0');
  if (!read_all(fd.get(), head.data(), region)) return std::nullopt;
  Buffer payload = allocate(payload_len);
  if (!read_all(fd.get(), payload.get(), payload_len)) return std::nullopt;
  PayloadHash check(xxh64(head.data(), head.size(), 0));
  check.update(payload.get(), payload_len);
  if (check.digest() != checksum) return std::nullopt;
  head.resize(header_len);
  ::utimensat(AT_FDCWD, file.c_str(), nullptr, 0);  // recently used: last to be evicted
  return Entry{std::move(head), std::make_shared<const Buffer>(std::move(payload)),
               static_cast<std::size_t>(payload_len)};
}

bool write_entry(const std::filesystem::path& file, const std::string& header,
                 std::span<const std::span<const std::byte>> pieces) {
  std::vector<std::size_t> lengths;
  lengths.reserve(pieces.size());
  for (const auto& piece : pieces) lengths.push_back(piece.size());
  const std::vector<std::size_t> offsets = piece_offsets(lengths);
  const std::size_t payload_len = offsets.back();

  std::string head(aligned(kPrefix + header.size()) - kPrefix, '\0');
  std::memcpy(head.data(), header.data(), header.size());
  std::array<unsigned char, kPrefix> prefix{};
  std::memcpy(prefix.data(), kMagic.data(), kMagic.size());
  store64(prefix.data() + 8, header.size());
  store64(prefix.data() + 16, payload_len);

  std::random_device rd;
  std::string tmp_name(1, '.');
  tmp_name += file.filename().string();
  tmp_name += '.';
  tmp_name += std::to_string(::getpid());
  tmp_name += '.';
  tmp_name += std::to_string((std::uint64_t{rd()} << 32) | rd());
  tmp_name += ".tmp";
  const std::filesystem::path tmp = file.parent_path() / tmp_name;
  Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (fd.get() < 0) return false;
  // The checksum goes first in the file but is known last: the prefix is written again at the end.
  bool ok = write_all(fd.get(), prefix.data(), prefix.size()) && write_all(fd.get(), head.data(), head.size());
  // The payload goes out straight from the pieces, zero padding after each, hashed as it is written.
  PayloadHash hash(xxh64(head.data(), head.size(), 0));
  static constexpr std::array<std::byte, kAlign> kZeros{};
  for (std::size_t i = 0; ok && i < pieces.size(); ++i) {
    const std::size_t pad = offsets[i + 1] - offsets[i] - pieces[i].size();
    hash.update(pieces[i].data(), pieces[i].size());
    hash.update(kZeros.data(), pad);
    ok = write_all(fd.get(), pieces[i].data(), pieces[i].size()) && write_all(fd.get(), kZeros.data(), pad);
  }
  const std::uint64_t h = hash.digest();
  store64(prefix.data() + 24, h);
  ok = ok && ::pwrite(fd.get(), prefix.data(), prefix.size(), 0) == static_cast<ssize_t>(prefix.size());
  if (!fd.close() || !ok || ::rename(tmp.c_str(), file.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

void evict(const std::filesystem::path& dir, std::uint64_t limit) {
  struct Item {
    std::filesystem::file_time_type used;
    std::uint64_t size;
    std::filesystem::path path;
  };
  std::vector<Item> items;
  std::uint64_t total = 0;
  std::error_code ec;
  const auto now = std::filesystem::file_time_type::clock::now();
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::filesystem::path& p = it->path();
    const std::string name = p.filename().string();
    std::error_code e;
    if (!it->is_regular_file(e) || e) continue;
    const auto used = it->last_write_time(e);
    if (e) continue;
    const bool temporary = name.starts_with(".") && name.ends_with(".tmp") && name.find(".vtc.") != std::string::npos;
    if (temporary) {
      if (now - used > kAbandoned) std::filesystem::remove(p, e);
      continue;
    }
    if (!name.ends_with(".vtc") || name.starts_with(".")) continue;
    const std::uint64_t size = it->file_size(e);
    if (e) continue;
    items.push_back({used, size, p});
    total += size;
  }
  if (total <= limit) return;
  std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.used < b.used; });
  for (const Item& item : items) {
    if (total <= limit) break;
    std::error_code e;
    if (std::filesystem::remove(item.path, e)) total -= item.size;
  }
}

}  // namespace varlo::tablefile
