// Zip: a zip archive built in memory with stored (uncompressed) members and
// its own CRC-32, shaped like Tar: add members, then take the bytes.
//
// After every add() the bytes are a complete archive: local entries, the
// central directory, the end record. The classic format holds at most 65535
// members and 32-bit sizes and offsets; add() refuses what would not fit
// with std::length_error and leaves the archive as it was.
//
// Threading: none; one Zip belongs to one thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

class Zip {
 public:
  static constexpr std::uint32_t kMaxEntries = 0xFFFF;

  Zip();

  void clear();
  // Appends one member; every '\' in name becomes '/'. Throws
  // std::length_error when the member would not fit the format.
  void add(const std::string& name, const char* data, unsigned int size);

  // The whole archive (an empty archive has no bytes). The pointer stays
  // valid until the next add() or clear().
  std::size_t size() const;
  const unsigned char* data() const;

  // CRC-32 of the zip format (reflected 0xEDB88320, all ones in and out).
  unsigned int crc32(const char* data, unsigned int len) const;

  static void xadd(std::vector<unsigned char>& out, const unsigned char* begin, const unsigned char* end);
  static void xadd(std::vector<unsigned char>& out, std::uint16_t value);
  static void xadd(std::vector<unsigned char>& out, std::uint32_t value);
  static void xadd(std::vector<unsigned char>& out, const std::string& value);
  static void xadd(std::vector<unsigned char>& out, const std::vector<unsigned char>& value);

 private:
  // The two parts grow by appending; the archive is joined when asked for,
  // so adding n members costs O(total size), not O(n * size).
  std::vector<unsigned char> local_;    // local entries
  std::vector<unsigned char> central_;  // central directory entries
  mutable std::vector<unsigned char> bytes;  // local part, central directory, end record
  mutable bool joined_ = true;
  std::uint32_t localLength = 0;     // offset of the central directory
  std::uint16_t entries = 0;
  std::uint32_t centralLength = 0;
  std::array<std::uint32_t, 256> table{};
};
