// The on-disk entry of the table cache: framing, checksum, atomic writes, least-recently-used eviction.
// What the header text and the payload arrays mean is the caller's business; this file only guarantees
// that an entry read back is byte for byte the entry written, or nothing.
//
// Layout (all integers little-endian):
//   0   8 bytes  magic "VARLOTB1"
//   8   u64      header length H
//   16  u64      payload length P
//   24  u64      checksum: XXH64 over the payload's 1 MiB blocks in turn, each block's hash the seed of the
//                next, the first seeded with XXH64 (seed 0) of the header region
//   32  H bytes  header, then zeros up to the next multiple of 64 (the header region ends there)
//   ..  P bytes  payload: the pieces in order, each starting at a multiple of 64 within the payload
// The file is exactly that long; anything else is not an entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace varlo::tablefile {

// What identifies a file's content without reading it. The change time moves on every write, also when
// the modification time is set back afterwards.
struct FileId {
  std::uint64_t dev = 0;
  std::uint64_t ino = 0;
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;
  std::int64_t ctime_ns = 0;
  bool operator==(const FileId&) const = default;
};

// The identity of a regular file, or nothing (missing, not a regular file, no permission).
std::optional<FileId> identify(const std::string& path);

// Whether the file changed so recently that a further change could leave every field of its identity as
// it is (time stamps are only as fine as the file system's clock tick).
bool racy(const FileId& id);

std::uint64_t xxh64(const void* data, std::size_t len, std::uint64_t seed);

inline constexpr std::size_t kAlign = 64;
constexpr std::size_t aligned(std::size_t n) { return (n + kAlign - 1) / kAlign * kAlign; }

// Offsets of pieces of the given lengths within the payload, and the payload's total length last.
std::vector<std::size_t> piece_offsets(std::span<const std::size_t> lengths);

struct FreeDeleter {
  void operator()(std::byte* p) const noexcept;
};
using Buffer = std::unique_ptr<std::byte[], FreeDeleter>;

struct Entry {
  std::string header;
  std::shared_ptr<const Buffer> payload;  // kAlign-aligned, shared by every array that views it
  std::size_t payload_size = 0;
};

// The entry in `file` when it is complete and its checksum holds; otherwise nothing. A hit marks the
// entry as recently used.
std::optional<Entry> read_entry(const std::filesystem::path& file);

// Writes the entry under a temporary name in the same directory and renames it into place, so a reader
// sees the old entry, the new one, or none; never part of one. False when anything failed (nothing is
// left behind then).
bool write_entry(const std::filesystem::path& file, const std::string& header,
                 std::span<const std::span<const std::byte>> pieces);

// Removes the least recently used entries (files ending ".vtc") until the rest take at most `limit`
// bytes, and temporary files abandoned by writers that died. Other files in the directory are left alone.
void evict(const std::filesystem::path& dir, std::uint64_t limit);

}  // namespace varlo::tablefile
