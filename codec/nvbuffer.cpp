#include "codec/nvbuffer.h"

#include "codec/nvlogging.h"
#include "platform/nvv4l2_ext.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

void clearPlanes(NvBuffer::NvBufferPlane* planes) {
  for (std::uint32_t j = 0; j < MAX_PLANES; ++j) {
    std::memset(&planes[j], 0, sizeof planes[j]);
    planes[j].fd = -1;
  }
}

}  // namespace

NvBuffer::NvBuffer(enum v4l2_buf_type type, enum v4l2_memory memory, std::uint32_t count, NvBufferPlaneFormat* fmt,
                   std::uint32_t idx)
    : buf_type(type), memory_type(memory), index(idx), n_planes(count > MAX_PLANES ? MAX_PLANES : count) {
  clearPlanes(planes);
  for (std::uint32_t j = 0; j < n_planes && fmt; ++j) planes[j].fmt = fmt[j];
}

NvBuffer::NvBuffer(std::uint32_t pixfmt, std::uint32_t width, std::uint32_t height, std::uint32_t idx)
    : buf_type(V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE), memory_type(V4L2_MEMORY_USERPTR), index(idx), n_planes(0) {
  clearPlanes(planes);
  NvBufferPlaneFormat fmts[MAX_PLANES] = {};
  if (fill_buffer_plane_format(&n_planes, fmts, width, height, pixfmt) != 0) n_planes = 0;
  for (std::uint32_t j = 0; j < n_planes; ++j) {
    planes[j].fmt = fmts[j];
    planes[j].fmt.stride = fmts[j].width * fmts[j].bytesperpixel;
    planes[j].fmt.sizeimage = fmts[j].width * fmts[j].height * fmts[j].bytesperpixel;
  }
}

NvBuffer::NvBuffer(std::uint32_t size, std::uint32_t idx)
    : buf_type(V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE), memory_type(V4L2_MEMORY_USERPTR), index(idx), n_planes(1) {
  clearPlanes(planes);
  planes[0].fmt.sizeimage = size;
}

NvBuffer::~NvBuffer() {
  if (mapped) unmap();
  if (allocated) deallocateMemory();
  // Exported descriptors belong to the buffer (standard V4L2 ownership).
  if (memory_type == V4L2_MEMORY_MMAP) {
    for (std::uint32_t j = 0; j < n_planes; ++j) {
      if (planes[j].fd >= 0) ::close(planes[j].fd);
      planes[j].fd = -1;
    }
  }
}

int NvBuffer::map() {
  if (memory_type != V4L2_MEMORY_MMAP) {
    NV_ERROR_MSG("Buffer " << index << " is not MMAP buffer. Cannot map");
    return -1;
  }
  if (mapped) {
    NV_DEBUG_MSG("Buffer " << index << " already mapped");
    return 0;
  }
  for (std::uint32_t j = 0; j < n_planes; ++j) {
    void* p = MAP_FAILED;
    if (planes[j].fd >= 0)
      p = mmap(nullptr, planes[j].length, PROT_READ | PROT_WRITE, MAP_SHARED, planes[j].fd, planes[j].mem_offset);
    if (p == MAP_FAILED) {
      NV_ERROR_MSG("Could not map buffer " << index << ", plane " << j);
      // Undo the planes already mapped so the buffer stays consistent.
      for (std::uint32_t k = 0; k < j; ++k) {
        munmap(planes[k].data, planes[k].length);
        planes[k].data = nullptr;
      }
      return -1;
    }
    planes[j].data = static_cast<unsigned char*>(p);
    NV_DEBUG_MSG("Mapped buffer " << index << ", plane " << j << " to " << p);
  }
  mapped = true;
  return 0;
}

void NvBuffer::unmap() {
  if (memory_type != V4L2_MEMORY_MMAP || !mapped) {
    NV_WARN_MSG("Cannot Unmap Buffer " << index << ". Only mapped MMAP buffer can be unmapped");
    return;
  }
  for (std::uint32_t j = 0; j < n_planes; ++j) {
    if (planes[j].data) munmap(planes[j].data, planes[j].length);
    planes[j].data = nullptr;
  }
  mapped = false;
  NV_DEBUG_MSG("Buffer " << index << " unmapped ");
}

int NvBuffer::allocateMemory() {
  if (memory_type != V4L2_MEMORY_USERPTR) {
    NV_ERROR_MSG("Only USERPTR buffers can be allocated");
    return -1;
  }
  if (allocated) {
    NV_WARN_MSG("Buffer " << index << "already allocated memory");
    return 0;
  }
  for (std::uint32_t j = 0; j < n_planes; ++j) {
    auto undo = [&] {
      for (std::uint32_t k = 0; k < j; ++k) {
        delete[] planes[k].data;
        planes[k].data = nullptr;
        planes[k].length = 0;
      }
    };
    if (planes[j].data) {
      NV_ERROR_MSG("Buffer " << index << ", Plane " << j << " already allocated");
      undo();
      return -1;
    }
    const std::uint64_t tight = static_cast<std::uint64_t>(planes[j].fmt.width) * planes[j].fmt.bytesperpixel *
                                planes[j].fmt.height;
    const std::uint64_t size = tight > planes[j].fmt.sizeimage ? tight : planes[j].fmt.sizeimage;
    unsigned char* p = size > UINT32_MAX ? nullptr : new (std::nothrow) unsigned char[size];
    if (!p) {
      NV_ERROR_MSG("Error while allocating buffer " << index << " plane " << j);
      undo();
      return -1;
    }
    planes[j].data = p;
    planes[j].length = static_cast<std::uint32_t>(size);
    NV_DEBUG_MSG("Buffer " << index << ", Plane " << j << " allocated");
  }
  allocated = true;
  return 0;
}

void NvBuffer::deallocateMemory() {
  if (memory_type != V4L2_MEMORY_USERPTR || !allocated) {
    NV_ERROR_MSG("Only allocated USERPTR buffers can be deallocated");
    return;
  }
  for (std::uint32_t j = 0; j < n_planes; ++j) {
    if (!planes[j].data) {
      NV_WARN_MSG("Buffer " << index << ", Plane " << j << " not allocated");
      continue;
    }
    delete[] planes[j].data;
    planes[j].data = nullptr;
  }
  allocated = false;
  NV_DEBUG_MSG("Buffer " << index << " deallocated");
}

std::uint32_t NvBuffer::ref() {
  std::lock_guard lk(ref_lock);
  return ++ref_count;
}

std::uint32_t NvBuffer::unref() {
  std::lock_guard lk(ref_lock);
  if (ref_count > 0) --ref_count;
  return ref_count;
}

int NvBuffer::fill_buffer_plane_format(std::uint32_t* num_planes, NvBufferPlaneFormat* f, std::uint32_t w,
                                       std::uint32_t h, std::uint32_t pixfmt) {
  auto set = [&](unsigned j, std::uint32_t pw, std::uint32_t ph, std::uint32_t bpp) {
    f[j].width = pw;
    f[j].height = ph;
    f[j].bytesperpixel = bpp;
  };
  switch (pixfmt) {
    case nvv4l2::kFmtNM12:
      *num_planes = 2;
      set(0, w, h, 1);
      set(1, w / 2, h / 2, 2);
      return 0;
    case nvv4l2::kFmtYM12:
    case nvv4l2::kFmtYM21:
      *num_planes = 3;
      set(0, w, h, 1);
      set(1, w / 2, h / 2, 1);
      set(2, w / 2, h / 2, 1);
      return 0;
    case nvv4l2::kFmt422M:
      *num_planes = 3;
      set(0, w, h, 1);
      set(1, w / 2, h, 1);
      set(2, w / 2, h, 1);
      return 0;
    case nvv4l2::kFmt42RM:
      *num_planes = 3;
      set(0, w, h, 1);
      set(1, w, h / 2, 1);
      set(2, w, h / 2, 1);
      return 0;
    case nvv4l2::kFmtYM44:
      *num_planes = 3;
      set(0, w, h, 1);
      set(1, w, h, 1);
      set(2, w, h, 1);
      return 0;
    case nvv4l2::kFmtYUYV:
    case nvv4l2::kFmtYVYU:
    case nvv4l2::kFmtUYVY:
    case nvv4l2::kFmtVYUY:
      *num_planes = 1;
      set(0, w, h, 2);
      return 0;
    case nvv4l2::kFmtGREY:
      *num_planes = 1;
      set(0, w, h, 1);
      return 0;
    case nvv4l2::kFmtAR24:
    case nvv4l2::kFmtBX24:
      *num_planes = 1;
      set(0, w, h, 4);
      return 0;
    default:
      NV_ERROR_MSG("Unsupported pixel format " << pixfmt);
      return -1;
  }
}
