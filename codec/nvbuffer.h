// One V4L2 buffer of an element plane: type, memory kind, index and up to
// three planes with their layout, mapping or allocation and byte counts.
// A buffer belongs to the program between dequeue and queue; only the
// reference count is locked. Descriptors exported for a memory-mapped
// buffer belong to it and are closed when it is destroyed.
#pragma once

#include <linux/videodev2.h>

#include <cstdint>
#include <mutex>

inline constexpr std::uint32_t MAX_PLANES = 3;

class NvBuffer {
 public:
  struct NvBufferPlaneFormat {
    std::uint32_t width;
    std::uint32_t height;
    std::uint32_t bytesperpixel;
    std::uint32_t stride;
    std::uint32_t sizeimage;
  };

  struct NvBufferPlane {
    NvBufferPlaneFormat fmt;
    unsigned char* data;
    std::uint32_t bytesused;
    int fd;
    std::uint32_t mem_offset;
    std::uint32_t length;
  };

  NvBuffer(enum v4l2_buf_type type, enum v4l2_memory memory_type, std::uint32_t n_planes,
           NvBufferPlaneFormat* fmt, std::uint32_t index);
  NvBuffer(std::uint32_t pixfmt, std::uint32_t width, std::uint32_t height, std::uint32_t index);
  NvBuffer(std::uint32_t size, std::uint32_t index);
  ~NvBuffer();
  NvBuffer(const NvBuffer&) = delete;
  NvBuffer& operator=(const NvBuffer&) = delete;

  int map();
  void unmap();
  int allocateMemory();
  void deallocateMemory();
  std::uint32_t ref();
  std::uint32_t unref();

  static int fill_buffer_plane_format(std::uint32_t* num_planes, NvBufferPlaneFormat* planefmts,
                                      std::uint32_t width, std::uint32_t height, std::uint32_t raw_pixfmt);

  enum v4l2_buf_type buf_type;
  enum v4l2_memory memory_type;
  std::uint32_t index;
  std::uint32_t n_planes;
  NvBufferPlane planes[MAX_PLANES];

 private:
  std::uint32_t ref_count = 0;  // guarded by ref_lock
  std::mutex ref_lock;
  bool mapped = false;
  bool allocated = false;

 public:
  NvBuffer* shared_buffer = nullptr;

  bool isMapped() const { return mapped; }
  bool isAllocated() const { return allocated; }
};
