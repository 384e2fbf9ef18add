// SimpleFile: the named byte block in which every piece of evidence travels
// (JPEGs, the report, signatures, finished archives, upload bodies).
//
// Copies share the bytes (one atomic reference count); no operation writes
// into a block in place, so a copy handed to another thread keeps its bytes
// while the producer appends. The block always holds one NUL after the data.
// An object itself is not locked: one object belongs to one thread.
//
// Beside it: safeSave (hidden temporary file, fsync, rename, directory
// sync), loadCvImage (encode a picture) and three plain whole-file helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

// What a pooled evidence buffer serves: pictures and archives have pools of
// their own, so a buffer's size stays close to what it is used for.
enum class EvidenceBuffer { Picture, Archive };

namespace cv {
class Mat;
}

// What a safe write did: len bytes written, or -1 and why (the step, the
// file and the system's text: "write /a/.1.tar~: No space left on device").
struct SaveResult {
  long long written = -1;
  std::string error;
  bool ok() const { return written >= 0; }
};

class SimpleFile {
 public:
  SimpleFile() = default;
  SimpleFile(const char* data, std::size_t len);

  // Takes over the first len bytes of buffer (at most its size) without
  // copying them; the NUL goes at len. The buffer goes back to the pool of
  // `use` when the last copy of the block is gone. A buffer with much more
  // room than len (lent for a larger piece) goes back at once and the bytes
  // are copied: blocks may wait long (the upload queue counts their sizes).
  static SimpleFile adopt(std::vector<unsigned char>&& buffer, std::size_t len, EvidenceBuffer use);

  // Reads size bytes of path (0: the whole file). False, and good = false,
  // when the file cannot be opened or holds fewer bytes.
  bool load(const std::string& path, std::size_t size);
  void append(const char* data, std::size_t len);
  // New block of n bytes (contents undefined) plus the NUL.
  void resize(std::size_t n);
  void clear() { size = 0; }
  std::string str() const;
  void updname(std::string path);

  // Plain write; failures are silent (use safesave for evidence).
  void save(std::string path) const;
  // safeSave of the bytes; returns its result (size, or -1 on failure, which
  // is also logged with its reason): a failed evidence write must never look
  // like success.
  [[nodiscard]] long long safesave(std::string path) const;
  // The same, with the reason of a failure for the caller's own line.
  [[nodiscard]] SaveResult safewrite(const std::string& path) const;

  SimpleFile& operator+=(const SimpleFile& other);
  bool operator==(const SimpleFile& other) const;
  bool operator!=(const SimpleFile& other) const { return !(*this == other); }

  const char* bytes() const { return data ? data.get() : nullptr; }

  std::shared_ptr<char[]> data;
  std::string name;
  bool good = true;
  std::uint64_t size = 0;
};

SimpleFile operator+(const SimpleFile& a, const SimpleFile& b);
std::ostream& operator<<(std::ostream& os, const SimpleFile& f);

// Byte buffers for evidence that is written in one piece (encoded pictures,
// archives). A small process-wide pool lends them, so a worker building event
// after event writes into warm pages instead of faulting in fresh ones, and
// SimpleFile::adopt hands them on without a copy. Bounded in bytes; a buffer
// given back beyond the bound is freed. Any thread.
// need: the bytes the caller will write (0: unknown, the largest is lent).
std::vector<unsigned char> takeEvidenceBuffer(EvidenceBuffer use, std::size_t need = 0);
void giveEvidenceBuffer(std::vector<unsigned char>&& buffer, EvidenceBuffer use);

// Writes dir/.name~, flushes and fsyncs it, renames it onto path and syncs
// the directory (a failed directory sync is logged as a warning only). The
// target is never partly written, and a failed write or rename removes the
// hidden file: on a full disk it would hold the last free space.
[[nodiscard]] SaveResult safeWrite(const std::string& path, const char* data, std::size_t len);
// safeWrite; a failure is logged ("Safe save failed: <path>: <why>").
// Returns len on success, -1 on any failure.
long long safeSave(std::string path, const char* data, std::size_t len);

// The hidden temporary that safeWrite uses for path (dir/name -> dir/.name~).
std::string safeTemporaryOf(const std::string& path);
// Whether a directory entry's name is a temporary that safeWrite leaves only
// when the process died between write and rename (".<id>.<ext>~").
bool isLeftoverTemporary(const std::string& name);

// Encodes image as PNG when filename contains "png", as JPEG when it
// contains "jpg" or "jpeg" (JPEG wins when both occur). Empty result when no
// word matched or encoding failed. The caller's pixels are not changed.
SimpleFile loadCvImage(cv::Mat& image, std::string filename, int quality);

// Whole file into a malloc'ed block (caller frees); null when it cannot be
// opened or allocated. size = bytes actually read.
void* LoadFile(const char* path, std::size_t& size);
// 1 when written and closed, else 0 with "File not open: %s" or
// "File writing error: %s" logged.
int SaveFile(const char* path, const char* data, std::size_t len);
// As LoadFile with a 32-bit size that stays the file length.
void* LoadImage(const char* path, unsigned int& size);
