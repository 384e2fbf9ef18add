#include "platform/v4l2emu/device.h"

#include "platform/v4l2emu/control_log.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace v4l2emu {

namespace {

constexpr std::uint32_t kPitchAlign = 256;
constexpr std::uint32_t kHeightAlign = 16;

std::uint32_t alignUp(std::uint32_t v, std::uint32_t a) { return (v + a - 1) / a * a; }

bool isMplane(std::uint32_t type) {
  return type == V4L2_BUF_TYPE_VIDEO_OUTPUT_MPLANE || type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
}

std::size_t pageAlign(std::size_t n) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return (n + page - 1) / page * page;
}

}  // namespace

bool rawLayout(std::uint32_t pixfmt, std::uint32_t w, std::uint32_t h, Format& out, bool packed) {
  if (w == 0 || h == 0 || w > 8192 || h > 8192) return false;
  out = Format{};
  out.pixfmt = pixfmt;
  out.width = w;
  out.height = h;
  const std::uint32_t rows = packed ? h : alignUp(h, kHeightAlign);
  const std::uint32_t crow = packed ? (h + 1) / 2 : alignUp((h + 1) / 2, kHeightAlign / 2);
  auto plane = [&](unsigned p, std::uint32_t rowBytes, std::uint32_t planeRows) {
    out.bytesperline[p] = packed ? rowBytes : alignUp(rowBytes, kPitchAlign);
    out.sizeimage[p] = out.bytesperline[p] * planeRows;
  };
  switch (pixfmt) {
    case nvv4l2::kFmtNM12:
      out.numPlanes = 2;
      plane(0, w, rows);
      plane(1, (w + 1) / 2 * 2, crow);
      return true;
    case nvv4l2::kFmtYM12:
      out.numPlanes = 3;
      plane(0, w, rows);
      plane(1, (w + 1) / 2, crow);
      plane(2, (w + 1) / 2, crow);
      return true;
    case nvv4l2::kFmtGREY:
      out.numPlanes = 1;
      plane(0, w, rows);
      return true;
    case nvv4l2::kFmtAR24:
      out.numPlanes = 1;
      plane(0, w * 4, rows);
      return true;
    default:
      return false;
  }
}

void FdMapping::reset(int fd) {
  if (data_) munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
  if (fd < 0) return;
  struct stat st {};
  if (fstat(fd, &st) != 0 || st.st_size <= 0) return;
  void* p = mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return;
  data_ = static_cast<std::uint8_t*>(p);
  size_ = static_cast<std::size_t>(st.st_size);
}

Device::Device(std::string path, int flags, FaultPlan faults)
    : path_(std::move(path)), faults_(std::move(faults)), nonBlocking_((flags & O_NONBLOCK) != 0) {
  out_.type = V4L2_BUF_TYPE_VIDEO_OUTPUT_MPLANE;
  cap_.type = V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
}

Device::~Device() {
  shutdown();
  releaseBuffers(out_);
  releaseBuffers(cap_);
}

void Device::start() { engine_ = std::thread([this] { engine(); }); }

void Device::shutdown() {
  {
    std::lock_guard lk(mu_);
    closing_ = true;
  }
  cv_.notify_all();
  if (engine_.joinable()) engine_.join();
}

void Device::delayPicture() const {
  if (faults_.pictureDelayMs) std::this_thread::sleep_for(std::chrono::milliseconds(faults_.pictureDelayMs));
}

short Device::poll(short events, int timeoutMs) {
  auto held = [&] {
    short r = 0;
    if (!cap_.done.empty() || lastDequeued_) r |= POLLIN | POLLRDNORM;
    if (!out_.done.empty()) r |= POLLOUT | POLLWRNORM;
    if (!events_.empty()) r |= POLLPRI;
    if (closing_ || ((events & (POLLIN | POLLRDNORM)) && !cap_.streaming) ||
        ((events & (POLLOUT | POLLWRNORM)) && !out_.streaming))
      r |= POLLERR;
    return static_cast<short>(r & (events | POLLERR));
  };
  std::unique_lock lk(mu_);
  cv_.wait_for(lk, std::chrono::milliseconds(std::max(timeoutMs, 0)), [&] { return held() != 0; });
  return held();
}

int Device::ioctl(unsigned long request, void* arg) {
  if (!arg) return EFAULT;
  std::unique_lock lk(mu_);
  if (closing_) return EBADF;
  if (faults_.failRequest == request && faults_.failNth > 0 &&
      ++callCounts_ == static_cast<std::uint64_t>(faults_.failNth))
    return faults_.failErrno;
  return doIoctl(request, arg, lk);
}

int Device::doIoctl(unsigned long request, void* arg, std::unique_lock<std::mutex>& lk) {
  switch (request) {
    case VIDIOC_QUERYCAP:
      return queryCap(*static_cast<v4l2_capability*>(arg));
    case VIDIOC_S_FMT:
      return sFmt(*static_cast<v4l2_format*>(arg));
    case VIDIOC_G_FMT:
      return gFmt(*static_cast<v4l2_format*>(arg));
    case VIDIOC_REQBUFS:
      return reqBufs(*static_cast<v4l2_requestbuffers*>(arg), lk);
    case VIDIOC_QUERYBUF:
      return queryBuf(*static_cast<v4l2_buffer*>(arg));
    case VIDIOC_EXPBUF:
      return expBuf(*static_cast<v4l2_exportbuffer*>(arg));
    case VIDIOC_QBUF:
      return qBuf(*static_cast<v4l2_buffer*>(arg));
    case VIDIOC_DQBUF:
      return dqBuf(*static_cast<v4l2_buffer*>(arg), lk);
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF: {
      const auto type = *static_cast<const std::uint32_t*>(arg);
      if (!validType(type)) return EINVAL;
      Queue& q = queueOf(type);
      if (request == VIDIOC_STREAMOFF) return streamOff(q, lk);
      q.streaming = true;
      cv_.notify_all();
      return 0;
    }
    case VIDIOC_S_PARM:
    case VIDIOC_G_PARM: {
      auto& p = *static_cast<v4l2_streamparm*>(arg);
      if (!validType(p.type)) return EINVAL;
      if (p.type != out_.type) return 0;
      if (request == VIDIOC_G_PARM) p.parm.output.timeperframe = timePerFrame_;
      else if (p.parm.output.timeperframe.denominator != 0) timePerFrame_ = p.parm.output.timeperframe;
      return 0;
    }
    case VIDIOC_G_CROP: {
      auto& c = *static_cast<v4l2_crop*>(arg);
      if (!validType(c.type) && c.type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
      const Format f = reportedFormat(cap_);
      c.c = v4l2_rect{0, 0, f.width, f.height};
      return 0;
    }
    case VIDIOC_S_SELECTION: {
      auto& s = *static_cast<v4l2_selection*>(arg);
      if (s.type != V4L2_BUF_TYPE_VIDEO_CAPTURE && s.type != V4L2_BUF_TYPE_VIDEO_OUTPUT && !validType(s.type))
        return EINVAL;
      selection_ = s.r;
      return 0;
    }
    case VIDIOC_S_CTRL: {
      auto& c = *static_cast<v4l2_control*>(arg);
      return setControl(c.id, c.value);
    }
    case VIDIOC_G_CTRL: {
      auto& c = *static_cast<v4l2_control*>(arg);
      return getControl(c.id, c.value);
    }
    case VIDIOC_S_EXT_CTRLS:
      return extCtrls(*static_cast<v4l2_ext_controls*>(arg), true);
    case VIDIOC_G_EXT_CTRLS:
      return extCtrls(*static_cast<v4l2_ext_controls*>(arg), false);
    case VIDIOC_SUBSCRIBE_EVENT: {
      auto& s = *static_cast<v4l2_event_subscription*>(arg);
      if (s.type != nvv4l2::kEventResolutionChange && s.type != V4L2_EVENT_EOS) return EINVAL;
      subscribed_.insert(s.type);
      return 0;
    }
    case VIDIOC_DECODER_CMD:
    case VIDIOC_TRY_DECODER_CMD:
      return decoderCommand(*static_cast<v4l2_decoder_cmd*>(arg), request == VIDIOC_TRY_DECODER_CMD);
    case VIDIOC_DQEVENT: {
      // Never blocks: a caller polls for events between pictures.
      if (events_.empty()) return EAGAIN;
      auto& e = *static_cast<v4l2_event*>(arg);
      e = events_.front();
      events_.pop_front();
      e.pending = static_cast<std::uint32_t>(events_.size());
      return 0;
    }
    default:
      return ENOTTY;
  }
}

int Device::queryCap(v4l2_capability& cap) {
  std::memset(&cap, 0, sizeof cap);
  std::snprintf(reinterpret_cast<char*>(cap.driver), sizeof cap.driver, "%s", "v4l2emu");
  std::snprintf(reinterpret_cast<char*>(cap.card), sizeof cap.card, "%s", path_.c_str());
  std::snprintf(reinterpret_cast<char*>(cap.bus_info), sizeof cap.bus_info, "%s", "platform:v4l2emu");
  cap.version = 0x050a00;
  std::uint32_t caps = V4L2_CAP_STREAMING;
  if (!faults_.noM2M) caps |= V4L2_CAP_VIDEO_M2M_MPLANE;
  cap.device_caps = caps;
  cap.capabilities = caps | V4L2_CAP_DEVICE_CAPS;
  return 0;
}

int Device::sFmt(v4l2_format& f) {
  if (!validType(f.type)) return EINVAL;
  Queue& q = queueOf(f.type);
  if (!q.bufs.empty()) return EBUSY;
  Format accepted;
  if (int err = acceptFormat(q, f.fmt.pix_mp, accepted)) return err;
  q.fmt = accepted;
  return gFmt(f);
}

int Device::gFmt(v4l2_format& f) {
  if (!validType(f.type)) return EINVAL;
  const Format fmt = reportedFormat(queueOf(f.type));
  auto& pm = f.fmt.pix_mp;
  std::memset(&pm, 0, sizeof pm);
  pm.width = fmt.width;
  pm.height = fmt.height;
  pm.pixelformat = fmt.pixfmt;
  pm.field = V4L2_FIELD_NONE;
  pm.num_planes = static_cast<std::uint8_t>(fmt.numPlanes);
  for (unsigned p = 0; p < fmt.numPlanes; ++p) {
    pm.plane_fmt[p].bytesperline = fmt.bytesperline[p];
    pm.plane_fmt[p].sizeimage = fmt.sizeimage[p];
  }
  return 0;
}

void Device::returnBuffer(Queue& q, Buffer& b) {
  b.state = BufState::Dequeued;
  if (q.memory == V4L2_MEMORY_DMABUF) {
    for (auto& pl : b.planes) {
      if (pl.dmafd >= 0) ::close(pl.dmafd);
      pl.dmafd = -1;
      pl.callerFd = -1;
    }
  }
}

void Device::releaseBuffers(Queue& q) {
  for (auto& b : q.bufs) {
    returnBuffer(q, b);
    for (auto& pl : b.planes) {
      if (pl.map) munmap(pl.map, pl.length);
      if (pl.memfd >= 0) ::close(pl.memfd);
      pl = PlaneMem{};
    }
  }
  q.bufs.clear();
  q.queued.clear();
  q.done.clear();
}

int Device::reqBufs(v4l2_requestbuffers& r, std::unique_lock<std::mutex>& lk) {
  if (!validType(r.type)) return EINVAL;
  if (r.memory != V4L2_MEMORY_MMAP && r.memory != V4L2_MEMORY_USERPTR && r.memory != V4L2_MEMORY_DMABUF)
    return EINVAL;
  Queue& q = queueOf(r.type);
  if (q.streaming) return EBUSY;
  cv_.wait(lk, [&] { return q.inFlight == 0; });
  releaseBuffers(q);
  ++q.generation;
  q.memory = r.memory;
  if (r.count == 0) return 0;
  if (q.fmt.numPlanes == 0) return EINVAL;
  if (r.memory == V4L2_MEMORY_USERPTR && !rawLayout(q.fmt.pixfmt, q.fmt.width, q.fmt.height, q.fmt, true))
    return EINVAL;
  const unsigned count = std::min<unsigned>(r.count + faults_.extraBuffers, kMaxBuffers);
  q.bufs.resize(count);
  for (unsigned i = 0; i < count; ++i) {
    for (unsigned p = 0; p < q.fmt.numPlanes; ++p) {
      PlaneMem& pl = q.bufs[i].planes[p];
      pl.length = q.fmt.sizeimage[p];
      if (r.memory != V4L2_MEMORY_MMAP) continue;
      pl.length = pageAlign(q.fmt.sizeimage[p]);
      pl.memfd = memfd_create("v4l2emu", MFD_CLOEXEC);
      if (pl.memfd < 0 || ftruncate(pl.memfd, static_cast<off_t>(pl.length)) != 0) {
        const int err = errno;
        releaseBuffers(q);
        return err ? err : ENOMEM;
      }
      void* m = mmap(nullptr, pl.length, PROT_READ | PROT_WRITE, MAP_SHARED, pl.memfd, 0);
      if (m == MAP_FAILED) {
        const int err = errno;
        releaseBuffers(q);
        return err;
      }
      pl.map = static_cast<std::uint8_t*>(m);
    }
  }
  r.count = count;
  r.capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP | V4L2_BUF_CAP_SUPPORTS_USERPTR | V4L2_BUF_CAP_SUPPORTS_DMABUF;
  return 0;
}

int Device::queryBuf(v4l2_buffer& b) {
  if (!validType(b.type)) return EINVAL;
  Queue& q = queueOf(b.type);
  if (b.index >= q.bufs.size() || !b.m.planes || b.length < q.fmt.numPlanes) return EINVAL;
  const Buffer& buf = q.bufs[b.index];
  b.memory = q.memory;
  b.length = q.fmt.numPlanes;
  b.flags = buf.state == BufState::Queued ? V4L2_BUF_FLAG_QUEUED : buf.state == BufState::Done ? V4L2_BUF_FLAG_DONE : 0;
  for (unsigned p = 0; p < q.fmt.numPlanes; ++p) {
    // The memory object may be page-padded; the plane is what the format needs.
    b.m.planes[p].length = q.memory == V4L2_MEMORY_MMAP ? q.fmt.sizeimage[p]
                                                        : static_cast<std::uint32_t>(buf.planes[p].length);
    b.m.planes[p].bytesused = buf.planes[p].bytesused;
    // Each plane is its own memory object: exported descriptors map it at 0.
    b.m.planes[p].m.mem_offset = 0;
    b.m.planes[p].data_offset = 0;
  }
  return 0;
}

int Device::expBuf(v4l2_exportbuffer& e) {
  if (!validType(e.type)) return EINVAL;
  Queue& q = queueOf(e.type);
  if (q.memory != V4L2_MEMORY_MMAP || e.index >= q.bufs.size() || e.plane >= q.fmt.numPlanes) return EINVAL;
  const PlaneMem& pl = q.bufs[e.index].planes[e.plane];
  int access = (e.flags & O_ACCMODE) == O_RDONLY ? O_RDONLY : O_RDWR;
  if (e.type == cap_.type && faults_.readOnlyExportIndex == static_cast<int>(e.index)) access = O_RDONLY;
  // A fresh open of the memory object: the caller owns and closes it.
  char name[64];
  std::snprintf(name, sizeof name, "/proc/self/fd/%d", pl.memfd);
  const int fd = ::open(name, access | O_CLOEXEC);
  if (fd < 0) return errno;
  e.fd = fd;
  return 0;
}

int Device::qBuf(v4l2_buffer& b) {
  if (!validType(b.type) || !isMplane(b.type)) return EINVAL;
  Queue& q = queueOf(b.type);
  if (b.memory != q.memory || b.index >= q.bufs.size() || !b.m.planes || b.length < q.fmt.numPlanes)
    return EINVAL;
  Buffer& buf = q.bufs[b.index];
  if (buf.state != BufState::Dequeued) return EINVAL;
  for (unsigned p = 0; p < q.fmt.numPlanes; ++p) {
    const v4l2_plane& vp = b.m.planes[p];
    PlaneMem& pl = buf.planes[p];
    if (q.memory == V4L2_MEMORY_USERPTR) {
      if (!vp.m.userptr || vp.length < q.fmt.sizeimage[p]) return EINVAL;
      pl.userptr = vp.m.userptr;
      pl.length = vp.length;
    } else if (q.memory == V4L2_MEMORY_DMABUF && !(q.type == V4L2_BUF_TYPE_VIDEO_OUTPUT_MPLANE && vp.bytesused == 0)) {
      // An empty output buffer (end of stream) needs no memory behind it.
      struct stat st {};
      if (vp.m.fd < 0 || fstat(vp.m.fd, &st) != 0) return EINVAL;
      if (static_cast<std::uint64_t>(st.st_size) < q.fmt.sizeimage[p]) return EINVAL;
    }
    const std::size_t cap = q.memory == V4L2_MEMORY_DMABUF ? q.fmt.sizeimage[p] : pl.length;
    if (q.type == V4L2_BUF_TYPE_VIDEO_OUTPUT_MPLANE && vp.bytesused > cap) return EINVAL;
    if (q.memory == V4L2_MEMORY_MMAP && q.type == V4L2_BUF_TYPE_VIDEO_OUTPUT_MPLANE && vp.bytesused > q.fmt.sizeimage[p])
      return EINVAL;
  }
  for (unsigned p = 0; p < q.fmt.numPlanes; ++p) {
    PlaneMem& pl = buf.planes[p];
    if (q.memory == V4L2_MEMORY_DMABUF) {
      const bool empty = q.type == V4L2_BUF_TYPE_VIDEO_OUTPUT_MPLANE && b.m.planes[p].bytesused == 0;
      pl.dmafd = empty ? -1 : fcntl(b.m.planes[p].m.fd, F_DUPFD_CLOEXEC, 0);
      pl.callerFd = b.m.planes[p].m.fd;
      pl.length = q.fmt.sizeimage[p];
    }
    pl.bytesused = q.type == V4L2_BUF_TYPE_VIDEO_OUTPUT_MPLANE ? b.m.planes[p].bytesused : 0;
  }
  buf.timestamp = b.timestamp;
  buf.flags = 0;
  buf.state = BufState::Queued;
  q.queued.push_back(b.index);
  b.flags = V4L2_BUF_FLAG_QUEUED;
  cv_.notify_all();
  return 0;
}

int Device::dqBuf(v4l2_buffer& b, std::unique_lock<std::mutex>& lk) {
  if (!validType(b.type)) return EINVAL;
  Queue& q = queueOf(b.type);
  const bool isDecoderCapture = &q == &cap_ && subscribed_.count(nvv4l2::kEventResolutionChange) > 0;
  // A blocked dequeue wakes for a buffer, a stream stop, an event on the
  // decoder's capture queue (so its user handles the resolution change) or
  // the instance closing.
  auto ready = [&] {
    return closing_ || !q.done.empty() || !q.streaming || (isDecoderCapture && !events_.empty()) ||
           (&q == &cap_ && lastDequeued_);
  };
  if (!nonBlocking_) cv_.wait(lk, ready);
  if (closing_) return EBADF;
  if (q.done.empty()) return &q == &cap_ && lastDequeued_ ? EPIPE : EAGAIN;
  if (!b.m.planes || b.length < q.fmt.numPlanes) return EINVAL;
  const unsigned index = q.done.front();
  q.done.pop_front();
  Buffer& buf = q.bufs[index];
  b.index = index;
  b.memory = q.memory;
  b.flags = buf.flags | V4L2_BUF_FLAG_TIMESTAMP_COPY;
  b.timestamp = buf.timestamp;
  b.sequence = buf.sequence;
  b.field = V4L2_FIELD_NONE;
  b.length = q.fmt.numPlanes;
  for (unsigned p = 0; p < q.fmt.numPlanes; ++p) {
    const PlaneMem& pl = buf.planes[p];
    v4l2_plane& vp = b.m.planes[p];
    vp.bytesused = pl.bytesused;
    vp.length = q.memory == V4L2_MEMORY_MMAP ? q.fmt.sizeimage[p] : static_cast<std::uint32_t>(pl.length);
    vp.data_offset = 0;
    if (q.memory == V4L2_MEMORY_USERPTR) vp.m.userptr = pl.userptr;
    else if (q.memory == V4L2_MEMORY_DMABUF) vp.m.fd = pl.callerFd;
    else vp.m.mem_offset = 0;
  }
  if (&q == &cap_ && (buf.flags & V4L2_BUF_FLAG_LAST)) lastDequeued_ = true;
  returnBuffer(q, buf);
  cv_.notify_all();
  return 0;
}

int Device::streamOff(Queue& q, std::unique_lock<std::mutex>& lk) {
  cv_.wait(lk, [&] { return q.inFlight == 0; });
  q.streaming = false;
  if (&q == &cap_) lastDequeued_ = false;
  for (auto& b : q.bufs) returnBuffer(q, b);
  q.queued.clear();
  q.done.clear();
  ++q.generation;
  cv_.notify_all();
  return 0;
}

int Device::extCtrls(v4l2_ext_controls& c, bool set) {
  if (c.count == 0) return 0;
  if (!c.controls || c.count > 64) return EINVAL;
  for (std::uint32_t i = 0; i < c.count; ++i) {
    v4l2_ext_control& ctrl = c.controls[i];
    int err;
    if (set) {
      err = setExtControl(ctrl);
    } else {
      err = getExtControl(ctrl);
    }
    if (err) {
      c.error_idx = i;
      return err;
    }
  }
  return 0;
}

int Device::setControl(std::uint32_t id, std::int64_t value) {
  recordControl(path_, id, value);
  return 0;
}

int Device::getControl(std::uint32_t, std::int32_t&) { return EINVAL; }

int Device::getExtControl(v4l2_ext_control&) { return EINVAL; }

std::uint8_t* Device::planeData(const Queue& q, const Buffer& b, unsigned p, FdMapping& keep, std::size_t& len) {
  const PlaneMem& pl = b.planes[p];
  switch (q.memory) {
    case V4L2_MEMORY_MMAP:
      len = pl.length;
      return pl.map;
    case V4L2_MEMORY_USERPTR:
      len = pl.length;
      return reinterpret_cast<std::uint8_t*>(pl.userptr);
    case V4L2_MEMORY_DMABUF: {
      keep.reset(pl.dmafd);
      len = keep.size();
      return keep.data();
    }
    default:
      len = 0;
      return nullptr;
  }
}

void Device::complete(Queue& q, unsigned index) {
  Buffer& b = q.bufs[index];
  b.state = BufState::Done;
  b.sequence = q.sequence++;
  q.done.push_back(index);
  cv_.notify_all();
}

void Device::postEvent(std::uint32_t type) {
  if (!subscribed_.count(type)) return;
  v4l2_event e{};
  e.type = type;
  e.sequence = eventSequence_++;
  if (type == nvv4l2::kEventResolutionChange) e.u.src_change.changes = V4L2_EVENT_SRC_CH_RESOLUTION;
  events_.push_back(e);
  cv_.notify_all();
}

}  // namespace v4l2emu

bool v4l2emu::Device::takePair(std::unique_lock<std::mutex>& lk, unsigned& in, unsigned& out) {
  cv_.wait(lk, [&] {
    return closing_ ||
           (!faults_.hung && out_.streaming && cap_.streaming && !out_.queued.empty() && !cap_.queued.empty());
  });
  if (closing_) return false;
  in = out_.queued.front();
  out = cap_.queued.front();
  out_.queued.pop_front();
  cap_.queued.pop_front();
  ++out_.inFlight;
  ++cap_.inFlight;
  return true;
}
