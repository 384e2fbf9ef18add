#include "codec/nvv4l2elementplane.h"

#include "codec/nvdevice.h"
#include "codec/nvlogging.h"
#include "core/threads.h"

#include <fcntl.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#define PLANE_ERROR_MSG(expr) NVLOG_LINE(nvlog::kError, comp_name, plane_name, expr, false)
#define PLANE_SYS_ERROR_MSG(expr) NVLOG_LINE(nvlog::kError, comp_name, plane_name, expr, true)
#define PLANE_WARN_MSG(expr) NVLOG_LINE(nvlog::kWarn, comp_name, plane_name, expr, false)
#define PLANE_DEBUG_MSG(expr) NVLOG_LINE(nvlog::kDebug, comp_name, plane_name, expr, false)

namespace {

constexpr std::uint32_t kRetryForever = 0xFFFFFFFFu;

// The absolute deadline of a wait of ms milliseconds.
std::chrono::steady_clock::time_point deadlineAfter(std::uint32_t ms) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

}  // namespace

NvV4l2ElementPlane::NvV4l2ElementPlane(enum v4l2_buf_type type, const char* device_name, int& fd_ref, bool is_blocking,
                                       NvElementProfiler& element_profiler)
    : fd(fd_ref), buf_type(type), blocking(is_blocking), profiler(element_profiler), comp_name(device_name) {
  if (type == V4L2_BUF_TYPE_VIDEO_OUTPUT_MPLANE) {
    plane_name = "Output Plane";
  } else if (type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE) {
    plane_name = "Capture Plane";
  } else {
    plane_name = "Unknown";
    NV_ERROR_MSG("Unsupported v4l2_buf_type " << static_cast<unsigned>(type));
    is_in_error = 1;
  }
}

NvV4l2ElementPlane::~NvV4l2ElementPlane() {
  // The element de-initialises the plane first; a thread still running here
  // would outlive its plane, so it is stopped as a last resort.
  stop_dqthread = true;
  std::thread t;
  {
    std::lock_guard lk(plane_lock);
    t = std::move(dq_thread);
  }
  if (t.joinable()) t.join();
  if (buffers) {
    for (std::uint32_t i = 0; i < num_buffers; ++i) delete buffers[i];
    delete[] buffers;
  }
}

int NvV4l2ElementPlane::setBufferPlaneFormat(int count, NvBuffer::NvBufferPlaneFormat* fmts) {
  if (count < 0 || count > static_cast<int>(MAX_PLANES)) return -1;
  n_planes = static_cast<std::uint32_t>(count);
  for (std::uint32_t j = 0; j < n_planes; ++j) planefmts[j] = fmts[j];
  return 0;
}

int NvV4l2ElementPlane::setFormat(struct v4l2_format& format) {
  format.type = buf_type;
  const int ret = devIoctl(fd, VIDIOC_S_FMT, &format);
  if (ret) {
    PLANE_SYS_ERROR_MSG("Error in VIDIOC_S_FMT");
    is_in_error = 1;
    return ret;
  }
  n_planes = format.fmt.pix_mp.num_planes > MAX_PLANES ? MAX_PLANES : format.fmt.pix_mp.num_planes;
  for (std::uint32_t j = 0; j < n_planes; ++j) {
    planefmts[j].stride = format.fmt.pix_mp.plane_fmt[j].bytesperline;
    planefmts[j].sizeimage = format.fmt.pix_mp.plane_fmt[j].sizeimage;
  }
  PLANE_DEBUG_MSG("VIDIOC_S_FMT at capture plane successful");
  return 0;
}

int NvV4l2ElementPlane::getFormat(struct v4l2_format& format) {
  format.type = buf_type;
  const int ret = devIoctl(fd, VIDIOC_G_FMT, &format);
  if (ret) {
    PLANE_SYS_ERROR_MSG("Getting format: failed");
    return -1;
  }
  PLANE_DEBUG_MSG("Getting format: success");
  return 0;
}

int NvV4l2ElementPlane::getCrop(struct v4l2_crop& crop) {
  crop.type = buf_type;
  const int ret = devIoctl(fd, VIDIOC_G_CROP, &crop);
  if (ret) {
    PLANE_SYS_ERROR_MSG("Getting crop params: failed");
    return -1;
  }
  PLANE_DEBUG_MSG("Getting crop params: success");
  return 0;
}

int NvV4l2ElementPlane::setSelection(std::uint32_t target, std::uint32_t flags, struct v4l2_rect& rect) {
  struct v4l2_selection sel;
  std::memset(&sel, 0, sizeof sel);
  if (buf_type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE) {
    sel.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  } else if (buf_type == V4L2_BUF_TYPE_VIDEO_OUTPUT_MPLANE) {
    sel.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
  } else {
    PLANE_ERROR_MSG("Unsupported v4l2_buf_type " << static_cast<unsigned>(buf_type));
    return -1;
  }
  sel.target = target;
  sel.flags = flags;
  sel.r = rect;
  if (devIoctl(fd, VIDIOC_S_SELECTION, &sel)) {
    PLANE_SYS_ERROR_MSG("Setting selection: failed");
    return -1;
  }
  PLANE_DEBUG_MSG("Setting selection: success");
  return 0;
}

int NvV4l2ElementPlane::setStreamParms(struct v4l2_streamparm& parm) {
  parm.type = buf_type;
  const int ret = devIoctl(fd, VIDIOC_S_PARM, &parm);
  if (ret) {
    PLANE_SYS_ERROR_MSG("Error while setting stream parameters");
  } else {
    PLANE_DEBUG_MSG("Successfully set stream parameters");
  }
  return ret;
}

int NvV4l2ElementPlane::reqbufs(enum v4l2_memory mem_type, std::uint32_t num) {
  if (mem_type != V4L2_MEMORY_MMAP && mem_type != V4L2_MEMORY_USERPTR && mem_type != V4L2_MEMORY_DMABUF) {
    PLANE_ERROR_MSG("Error in VIDIOC_REQBUFS:Unknown memory type " << static_cast<unsigned>(mem_type));
    return -1;
  }
  if (mem_type == V4L2_MEMORY_USERPTR) {
    for (std::uint32_t j = 0; j < n_planes; ++j) {
      planefmts[j].stride = planefmts[j].bytesperpixel * planefmts[j].width;
      planefmts[j].sizeimage = planefmts[j].width * planefmts[j].height;
    }
  }
  memory_type = mem_type;
  struct v4l2_requestbuffers req;
  std::memset(&req, 0, sizeof req);
  req.count = num;
  req.type = buf_type;
  req.memory = mem_type;
  const int ret = devIoctl(fd, VIDIOC_REQBUFS, &req);
  if (ret) {
    PLANE_SYS_ERROR_MSG("Error in VIDIOC_REQBUFS at output plane");
    is_in_error = 1;
    return ret;
  }
  std::lock_guard lk(plane_lock);
  // Buffers of an earlier request go first (deinitPlane normally did that).
  if (buffers) {
    for (std::uint32_t i = 0; i < num_buffers; ++i) delete buffers[i];
    delete[] buffers;
    buffers = nullptr;
  }
  if (req.count > 0) {
    buffers = new NvBuffer*[req.count];
    for (std::uint32_t i = 0; i < req.count; ++i)
      buffers[i] = new NvBuffer(buf_type, memory_type, n_planes, planefmts, i);
  }
  num_buffers = req.count;
  num_queued_buffers = 0;
  PLANE_DEBUG_MSG("Reqbuf returned " << req.count << " buffers");
  return 0;
}

int NvV4l2ElementPlane::setupPlane(enum v4l2_memory mem_type, std::uint32_t num, bool map, bool allocate) {
  bool failed = reqbufs(mem_type, num) != 0;
  const std::uint32_t granted = getNumBuffers();
  for (std::uint32_t i = 0; !failed && i < granted; ++i) {
    NvBuffer* b = getNthBuffer(i);
    switch (mem_type) {
      case V4L2_MEMORY_MMAP:
        failed = queryBuffer(i) != 0 || exportBuffer(i) != 0 || (map && b->map() != 0);
        break;
      case V4L2_MEMORY_USERPTR:
        failed = allocate && b->allocateMemory() != 0;
        break;
      default:
        break;
    }
  }
  if (!failed) return 0;
  PLANE_ERROR_MSG("Error during setup");
  is_in_error = 1;
  deinitPlane();
  return -1;
}

int NvV4l2ElementPlane::queryBuffer(std::uint32_t i) {
  struct v4l2_buffer b;
  struct v4l2_plane planes[MAX_PLANES];
  std::memset(&b, 0, sizeof b);
  std::memset(planes, 0, sizeof planes);
  b.index = i;
  b.type = buf_type;
  b.memory = memory_type;
  b.m.planes = planes;
  b.length = n_planes;
  const int ret = devIoctl(fd, VIDIOC_QUERYBUF, &b);
  if (ret) {
    PLANE_SYS_ERROR_MSG("Error in QueryBuf for " << i << "th buffer");
    is_in_error = 1;
    return ret;
  }
  NvBuffer* buffer = getNthBuffer(i);
  if (!buffer) return -1;
  for (std::uint32_t j = 0; j < b.length && j < MAX_PLANES; ++j) {
    buffer->planes[j].length = planes[j].length;
    buffer->planes[j].mem_offset = planes[j].m.mem_offset;
  }
  PLANE_DEBUG_MSG("QueryBuf for " << i << "th buffer successful");
  return 0;
}

int NvV4l2ElementPlane::exportBuffer(std::uint32_t i) {
  NvBuffer* buffer = getNthBuffer(i);
  for (std::uint32_t j = 0; j < n_planes; ++j) {
    struct v4l2_exportbuffer e;
    std::memset(&e, 0, sizeof e);
    e.type = buf_type;
    e.index = i;
    e.plane = j;
    e.flags = O_RDWR;
    if (devIoctl(fd, VIDIOC_EXPBUF, &e) || !buffer) {
      PLANE_SYS_ERROR_MSG("Error in ExportBuf for Buffer " << i << ", Plane " << j);
      is_in_error = 1;
      return -1;
    }
    buffer->planes[j].fd = e.fd;
    PLANE_DEBUG_MSG("ExportBuf successful for Buffer " << i << ", Plane " << j << ", fd = " << e.fd);
  }
  return 0;
}

NvBuffer* NvV4l2ElementPlane::getNthBuffer(std::uint32_t n) {
  std::lock_guard lk(plane_lock);
  if (n >= num_buffers) {
    PLANE_DEBUG_MSG("WARNING:Requested " << n << "th buffer out of " << num_buffers << "buffers. Returning NULL");
    return nullptr;
  }
  return buffers[n];
}

int NvV4l2ElementPlane::qBuffer(struct v4l2_buffer& v4l2_buf, NvBuffer* shared_buffer) {
  std::unique_lock lk(plane_lock);
  if (v4l2_buf.index >= num_buffers || !v4l2_buf.m.planes) {
    PLANE_ERROR_MSG("Invalid buffer index " << v4l2_buf.index << " of " << num_buffers << " buffers");
    return -1;
  }
  NvBuffer* buffer = buffers[v4l2_buf.index];
  v4l2_buf.type = buf_type;
  v4l2_buf.memory = memory_type;
  v4l2_buf.length = n_planes;
  switch (memory_type) {
    case V4L2_MEMORY_MMAP:
      for (std::uint32_t j = 0; j < buffer->n_planes; ++j) v4l2_buf.m.planes[j].bytesused = buffer->planes[j].bytesused;
      break;
    case V4L2_MEMORY_USERPTR: {
      buffer->shared_buffer = shared_buffer;
      const NvBuffer* src = shared_buffer ? shared_buffer : buffer;
      for (std::uint32_t j = 0; j < buffer->n_planes; ++j) {
        v4l2_buf.m.planes[j].m.userptr = reinterpret_cast<unsigned long>(src->planes[j].data);
        v4l2_buf.m.planes[j].bytesused = src->planes[j].bytesused;
      }
      break;
    }
    case V4L2_MEMORY_DMABUF:
      buffer->shared_buffer = shared_buffer;
      if (shared_buffer) {
        for (std::uint32_t j = 0; j < buffer->n_planes; ++j) {
          v4l2_buf.m.planes[j].m.fd = shared_buffer->planes[j].fd;
          v4l2_buf.m.planes[j].bytesused = shared_buffer->planes[j].bytesused;
        }
      }
      break;
    default:
      return -1;
  }
  if (buf_type == V4L2_BUF_TYPE_VIDEO_OUTPUT_MPLANE) profiler.startProcessing();
  const int ret = devIoctl(fd, VIDIOC_QBUF, &v4l2_buf);
  if (ret) {
    is_in_error = 1;
    PLANE_SYS_ERROR_MSG("Error while Qing buffer");
    return ret;
  }
  plane_cond.notify_all();
  ++num_queued_buffers;
  ++total_queued_buffers;
  PLANE_DEBUG_MSG("Qed buffer " << v4l2_buf.index);
  return 0;
}

int NvV4l2ElementPlane::dqBuffer(struct v4l2_buffer& v4l2_buf, NvBuffer** buffer, NvBuffer** shared_buffer,
                                 std::uint32_t num_retries) {
  v4l2_buf.type = buf_type;
  v4l2_buf.memory = memory_type;
  for (;;) {
    const int ret = devIoctl(fd, VIDIOC_DQBUF, &v4l2_buf);
    if (ret == 0) {
      std::lock_guard lk(plane_lock);
      if (v4l2_buf.index >= num_buffers) {
        PLANE_ERROR_MSG("Driver returned buffer " << v4l2_buf.index << " of " << num_buffers);
        is_in_error = 1;
        errno = EINVAL;
        return -1;
      }
      NvBuffer* b = buffers[v4l2_buf.index];
      if (buffer) *buffer = b;
      if (shared_buffer && memory_type == V4L2_MEMORY_DMABUF) *shared_buffer = b->shared_buffer;
      for (std::uint32_t j = 0; j < b->n_planes && j < v4l2_buf.length; ++j)
        b->planes[j].bytesused = v4l2_buf.m.planes[j].bytesused;
      if (buf_type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE) profiler.finishProcessing(0, false);
      if (num_queued_buffers > 0) --num_queued_buffers;
      ++total_dequeued_buffers;
      plane_cond.notify_all();
      PLANE_DEBUG_MSG("DQed buffer " << v4l2_buf.index);
      return 0;
    }
    if (errno != EAGAIN) {
      is_in_error = 1;
      PLANE_SYS_ERROR_MSG("Error while DQing buffer");
      return ret;
    }
    {
      std::lock_guard lk(plane_lock);
      if (!streamon) return ret;
    }
    if (num_retries == 0) {
      PLANE_SYS_ERROR_MSG("Error while DQing buffer");
      return ret;
    }
    if (!blocking) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (is_in_error) return ret;
    if (num_retries != kRetryForever) --num_retries;
    errno = EAGAIN;
  }
}

int NvV4l2ElementPlane::pollBuffer(std::uint32_t max_wait_ms, bool orEvent) {
  short events = buf_type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE ? POLLIN | POLLRDNORM : POLLOUT | POLLWRNORM;
  if (orEvent) events |= POLLPRI;
  short revents = 0;
  const int ret = devPoll(fd, events, revents, static_cast<int>(std::min<std::uint32_t>(max_wait_ms, 0x7FFFFFFF)));
  if (ret > 0 && (revents & events & ~POLLPRI)) return 1;
  if (ret > 0 && (revents & POLLPRI)) return 2;
  return ret < 0 || (revents & (POLLERR | POLLNVAL)) ? -1 : 0;
}

int NvV4l2ElementPlane::setStreamStatus(bool status) {
  std::unique_lock lk(plane_lock);
  const char* what = status ? "STREAMON" : "STREAMOFF";
  if (status == streamon) {
    PLANE_DEBUG_MSG("Already in " << what);
    return 0;
  }
  int type = buf_type;
  const int ret = devIoctl(fd, status ? VIDIOC_STREAMON : VIDIOC_STREAMOFF, &type);
  if (ret) {
    PLANE_SYS_ERROR_MSG("Error in " << what);
    is_in_error = 1;
    return ret;
  }
  PLANE_DEBUG_MSG(what << " successful");
  streamon = status;
  if (!status) {
    num_queued_buffers = 0;
    plane_cond.notify_all();
    if (buf_type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE) profiler.disableProfiling();
  } else if (buf_type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE) {
    profiler.enableProfiling(false);
  }
  return 0;
}

bool NvV4l2ElementPlane::getStreamStatus() {
  std::lock_guard lk(plane_lock);
  return streamon;
}

int NvV4l2ElementPlane::waitUntil(std::uint32_t max_wait_ms, const char* stem, bool wantAllQueued) {
  std::unique_lock lk(plane_lock);
  const auto deadline = deadlineAfter(max_wait_ms);
  const bool ok = plane_cond.wait_until(lk, deadline, [&] {
    return wantAllQueued ? num_queued_buffers >= num_buffers : num_queued_buffers == 0;
  });
  if (!ok) {
    errno = ETIMEDOUT;
    PLANE_SYS_ERROR_MSG(stem << ": failed");
    return -1;
  }
  PLANE_DEBUG_MSG(stem << ": success");
  return 0;
}

int NvV4l2ElementPlane::waitAllBuffersQueued(std::uint32_t max_wait_ms) {
  return waitUntil(max_wait_ms, "Waiting for all buffers to get queued", true);
}

int NvV4l2ElementPlane::waitAllBuffersDequeued(std::uint32_t max_wait_ms) {
  return waitUntil(max_wait_ms, "Waiting for all buffers to get dequeued", false);
}

bool NvV4l2ElementPlane::setDQThreadCallback(dqThreadCallback cb) {
  std::lock_guard lk(plane_lock);
  if (dqthread_running) return false;
  callback = cb;
  return true;
}

int NvV4l2ElementPlane::startDQThread(void* data) {
  std::lock_guard lk(plane_lock);
  if (dqthread_running) {
    PLANE_DEBUG_MSG("DQ Thread already started");
    return 0;
  }
  if (dq_thread.joinable()) dq_thread.join();  // a thread that ended on its own
  dqThread_data = data;
  stop_dqthread = false;
  dqthread_running = true;
  dq_thread = std::thread([this] { dqThread(); });
  PLANE_DEBUG_MSG("Started DQ Thread");
  return 0;
}

void NvV4l2ElementPlane::dqThread() {
  PLANE_DEBUG_MSG("Starting DQthread");
  thread_name(plane_name);
  dqThreadCallback cb;
  void* data;
  {
    std::lock_guard lk(plane_lock);
    cb = callback;
    data = dqThread_data;
  }
  bool go_on = true;
  while (go_on && !stop_dqthread) {
    struct v4l2_buffer b;
    struct v4l2_plane planes[MAX_PLANES];
    std::memset(&b, 0, sizeof b);
    std::memset(planes, 0, sizeof planes);
    b.m.planes = planes;
    b.length = n_planes;
    NvBuffer* buffer = nullptr;
    NvBuffer* shared = nullptr;
    if (dqBuffer(b, &buffer, &shared, kRetryForever) == 0) {
      go_on = cb ? cb(&b, buffer, shared, data) : true;
      continue;
    }
    const int err = errno;
    if (err != EAGAIN) is_in_error = 1;
    const bool streaming = getStreamStatus();
    if (err == EAGAIN && !streaming) break;
    go_on = cb ? cb(nullptr, nullptr, nullptr, data) : true;
    if (!streaming) break;
  }
  stop_dqthread = false;
  {
    std::lock_guard lk(plane_lock);
    dqthread_running = false;
  }
  plane_cond.notify_all();
  PLANE_DEBUG_MSG("Exiting DQthread");
}

int NvV4l2ElementPlane::stopDQThread() {
  if (blocking) {
    PLANE_WARN_MSG("Should not be called in blocking mode");
    return 0;
  }
  stop_dqthread = true;
  std::thread t;
  {
    std::lock_guard lk(plane_lock);
    t = std::move(dq_thread);
  }
  if (t.joinable()) t.join();
  PLANE_DEBUG_MSG("Stopped DQ Thread");
  return 0;
}

int NvV4l2ElementPlane::waitForDQThread(std::uint32_t max_wait_ms) {
  std::unique_lock lk(plane_lock);
  if (!dq_thread.joinable()) return 0;
  const auto deadline = deadlineAfter(max_wait_ms);
  if (!plane_cond.wait_until(lk, deadline, [&] { return !dqthread_running; })) {
    PLANE_ERROR_MSG("Timed out waiting for dqthread");
    return -1;
  }
  std::thread t = std::move(dq_thread);
  lk.unlock();
  t.join();
  PLANE_DEBUG_MSG("Stopped DQ Thread");
  return 0;
}

void NvV4l2ElementPlane::deinitPlane() {
  setStreamStatus(false);
  waitForDQThread(kRetryForever);
  {
    std::lock_guard lk(plane_lock);
    for (std::uint32_t i = 0; i < num_buffers; ++i) {
      NvBuffer* b = buffers[i];
      if (memory_type == V4L2_MEMORY_USERPTR && b->isAllocated()) b->deallocateMemory();
      else if (memory_type == V4L2_MEMORY_MMAP && b->isMapped()) b->unmap();
    }
  }
  reqbufs(memory_type, 0);
  PLANE_DEBUG_MSG("deinit successful");
}

std::uint32_t NvV4l2ElementPlane::getNumBuffers() {
  std::lock_guard lk(plane_lock);
  return num_buffers;
}

std::uint32_t NvV4l2ElementPlane::getNumPlanes() { return n_planes; }

std::uint32_t NvV4l2ElementPlane::getNumQueuedBuffers() {
  std::lock_guard lk(plane_lock);
  return num_queued_buffers;
}

std::uint32_t NvV4l2ElementPlane::getTotalQueuedBuffers() {
  std::lock_guard lk(plane_lock);
  return total_queued_buffers;
}

std::uint32_t NvV4l2ElementPlane::getTotalDequeuedBuffers() {
  std::lock_guard lk(plane_lock);
  return total_dequeued_buffers;
}

enum v4l2_memory NvV4l2ElementPlane::getMemoryType() { return memory_type; }
