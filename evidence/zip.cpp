#include "evidence/zip.h"

#include <algorithm>
#include <ctime>
#include <limits>
#include <stdexcept>

// Layout (PKWARE APPNOTE 4.3.7, 4.3.12, 4.3.16), all numbers little-endian:
//   local header   50 4b 03 04 | need 20 | flags | method 0 | time | date |
//                  crc | csize | usize | name len | extra len | name | data
//   central entry  50 4b 01 02 | made 0 | need 20 | flags | method | time |
//                  date | crc | csize | usize | name len | extra | comment |
//                  disk | int attr | ext attr 32 | local offset | name
//   end record     50 4b 05 06 | disk | cd disk | entries | entries |
//                  cd size | cd offset | comment len

namespace {

constexpr std::uint32_t kLocalSig = 0x04034b50;
constexpr std::uint32_t kCentralSig = 0x02014b50;
constexpr std::uint32_t kEndSig = 0x06054b50;
constexpr std::uint16_t kVersionNeeded = 20;
constexpr std::uint32_t kArchiveAttr = 32;
constexpr std::size_t kLocalFixed = 30;
constexpr std::size_t kCentralFixed = 46;
constexpr std::size_t kEndLength = 22;

// MS-DOS time and date of the local time now. The format starts in 1980;
// an earlier clock is written as 1980-01-01 00:00:00.
void dosTime(std::uint16_t& time, std::uint16_t& date) {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  if (tm.tm_year < 80) {
    time = 0;
    date = (1 << 5) | 1;
    return;
  }
  time = static_cast<std::uint16_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
  date = static_cast<std::uint16_t>(((tm.tm_year - 80) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
}

}  // namespace

Zip::Zip() {
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  clear();
}

void Zip::clear() {
  bytes.clear();
  local_.clear();
  central_.clear();
  joined_ = true;
  localLength = 0;
  entries = 0;
  centralLength = 0;
}

unsigned int Zip::crc32(const char* data, unsigned int len) const {
  if (len == 0) return 0;
  std::uint32_t c = 0xFFFFFFFFu;
  for (unsigned int k = 0; k < len; ++k) c = table[(c ^ static_cast<unsigned char>(data[k])) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

void Zip::xadd(std::vector<unsigned char>& out, const unsigned char* begin, const unsigned char* end) {
  out.insert(out.end(), begin, end);
}
void Zip::xadd(std::vector<unsigned char>& out, std::uint16_t value) {
  out.push_back(static_cast<unsigned char>(value));
  out.push_back(static_cast<unsigned char>(value >> 8));
}
void Zip::xadd(std::vector<unsigned char>& out, std::uint32_t value) {
  for (int k = 0; k < 4; ++k) out.push_back(static_cast<unsigned char>(value >> (8 * k)));
}
void Zip::xadd(std::vector<unsigned char>& out, const std::string& value) { out.insert(out.end(), value.begin(), value.end()); }
void Zip::xadd(std::vector<unsigned char>& out, const std::vector<unsigned char>& value) {
  out.insert(out.end(), value.begin(), value.end());
}

void Zip::add(const std::string& memberName, const char* data, unsigned int size) {
  std::string name = memberName;
  std::replace(name.begin(), name.end(), '\\', '/');
  constexpr std::uint64_t k32 = std::numeric_limits<std::uint32_t>::max();
  if (entries >= kMaxEntries) throw std::length_error("zip: too many members");
  if (name.size() > std::numeric_limits<std::uint16_t>::max()) throw std::length_error("zip: member name too long");
  const std::uint64_t newLocal = std::uint64_t{localLength} + kLocalFixed + name.size() + size;
  const std::uint64_t newCentral = std::uint64_t{centralLength} + kCentralFixed + name.size();
  // Everything up to the end record must stay addressable by 32-bit offsets.
  if (newLocal > k32 || newLocal + newCentral + kEndLength > k32) throw std::length_error("zip: archive beyond 4 GiB");

  const std::uint32_t crc = crc32(data, size);
  std::uint16_t time = 0, date = 0;
  dosTime(time, date);
  const auto nameLength = static_cast<std::uint16_t>(name.size());

  // From "version needed" to "extra length" both headers hold the same fields.
  const auto shared = [&](std::vector<unsigned char>& out) {
    xadd(out, kVersionNeeded);
    xadd(out, std::uint16_t{0});  // flags
    xadd(out, std::uint16_t{0});  // stored
    xadd(out, time);
    xadd(out, date);
    xadd(out, crc);
    xadd(out, std::uint32_t{size});
    xadd(out, std::uint32_t{size});
    xadd(out, nameLength);
    xadd(out, std::uint16_t{0});  // extra
  };
  std::vector<unsigned char> local;
  xadd(local, kLocalSig);
  shared(local);
  xadd(local, name);
  if (size > 0) xadd(local, reinterpret_cast<const unsigned char*>(data), reinterpret_cast<const unsigned char*>(data) + size);

  std::vector<unsigned char> central;
  xadd(central, kCentralSig);
  xadd(central, std::uint16_t{0});  // made by
  shared(central);
  xadd(central, std::uint16_t{0});  // comment
  xadd(central, std::uint16_t{0});  // disk
  xadd(central, std::uint16_t{0});  // internal attributes
  xadd(central, kArchiveAttr);
  xadd(central, localLength);
  xadd(central, name);

  xadd(local_, local);
  xadd(central_, central);
  ++entries;
  localLength = static_cast<std::uint32_t>(newLocal);
  centralLength = static_cast<std::uint32_t>(newCentral);
  joined_ = false;
}

std::size_t Zip::size() const { return entries == 0 ? 0 : std::size_t{localLength} + centralLength + kEndLength; }

const unsigned char* Zip::data() const {
  if (!joined_) {
    bytes.clear();
    bytes.reserve(size());
    xadd(bytes, local_);
    xadd(bytes, central_);
    xadd(bytes, kEndSig);
    xadd(bytes, std::uint16_t{0});
    xadd(bytes, std::uint16_t{0});
    xadd(bytes, entries);
    xadd(bytes, entries);
    xadd(bytes, centralLength);
    xadd(bytes, localLength);
    xadd(bytes, std::uint16_t{0});
    joined_ = true;
  }
  return bytes.data();
}
