// Tar: a GNU tar archive built entirely in memory (libtar writing through
// replaceable I/O hooks into the object's byte buffer). The buffer is lent
// by the evidence buffer pool and goes back at destruction, or travels on in
// the SimpleFile that take() returns, so a worker building archive after
// archive neither faults in fresh pages nor copies the finished bytes.
//
// After every successful add() the bytes are a complete archive: the
// members in add order, then one 1024-byte end-of-archive pair. Members are
// regular files, mode 0644, uid/gid 1000.
//
// Threading: one Tar belongs to one thread. libtar's hooks only see an
// integer descriptor, so a process-wide table (never destroyed: detached
// threads may still build archives while the process exits) maps made-up
// descriptors back to their objects under a mutex.
#pragma once

#include "evidence/simplefile.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

struct TarObj {
  std::string path;  // full member name
  std::string name;  // part after the last '/'
  const char* data = nullptr;
  std::uint64_t size = 0;
};

class Tar {
 public:
  Tar();
  // Starts from an existing archive (ending with its end-of-archive pair).
  Tar(const char* data, int size);
  ~Tar();
  Tar(const Tar&) = delete;
  Tar& operator=(const Tar&) = delete;

  // Appends one regular-file member; false (logged) when the archive could
  // not be opened or any write failed.
  bool add(const std::string& name, const char* data, int size);
  std::size_t size() const { return size_; }
  // Valid until the next add(), take() or the destruction.
  const char* data() const { return reinterpret_cast<const char*>(bytes_.data()); }
  // Hands the archive's bytes over without a copy; the Tar is then empty
  // and the next add() starts a new archive.
  SimpleFile take();
  // The next add() starts a new archive over the old bytes.
  void clear();

  // Regular-file members of the current bytes; every header and member is
  // bounded against the archive size.
  std::vector<TarObj> files() const;

  static int CloseWarp(int fd);
  static ssize_t WriteWarp(int fd, const void* buf, std::size_t len);
  ssize_t Write(int fd, const void* buf, std::size_t len);

 private:
  void initialise();
  // Writes at the current position (memory-stream style: the archive's size
  // becomes the position after the write).
  void put(const void* buf, std::size_t len);

  struct IoTable {
    int (*openfunc)(const char*, int, ...);
    int (*closefunc)(int);
    ssize_t (*readfunc)(int, void*, std::size_t);
    ssize_t (*writefunc)(int, const void*, std::size_t);
  };

  IoTable io_{};
  void* handle_ = nullptr;  // libtar's TAR*
  bool open_ = false;
  std::vector<unsigned char> bytes_;  // its size is a high-water mark, not the archive's
  std::size_t pos_ = 0;
  std::size_t size_ = 0;
  int fd_ = 0;
};
