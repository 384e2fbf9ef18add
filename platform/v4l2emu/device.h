// One open instance of an emulated V4L2 memory-to-memory device: its two
// queues (OUTPUT_MPLANE takes input, CAPTURE_MPLANE gives results), their
// formats and buffers, controls and events, and an engine thread supplied by
// the subclass (decoder, converter, encoder).
//
// Threading: ioctl() runs on any caller thread; the engine runs on its own
// thread started by start() and joined by shutdown(). Everything below is
// guarded by mu_; the engine copies pixels outside the lock while the
// buffers it works on are marked in flight (STREAMOFF and REQBUFS wait for
// them), so a caller can never free memory the engine is writing.
//
// Memory: every MMAP plane is a memfd mapped once by the device; EXPBUF opens
// a new descriptor on it that the caller owns. DMABUF planes are dup'ed at
// QBUF and closed when the buffer leaves the device.
#pragma once

#include "platform/nvv4l2_ext.h"
#include "platform/v4l2emu/v4l2emu.h"

#include <linux/videodev2.h>
#include <cerrno>
#include <sys/time.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace v4l2emu {

inline constexpr unsigned kMaxPlanes = 3;
inline constexpr unsigned kMaxBuffers = 32;
inline constexpr std::uint32_t kMaxCodedBytes = 32u << 20;

struct Format {
  std::uint32_t pixfmt = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t numPlanes = 0;
  std::uint32_t bytesperline[kMaxPlanes] = {};
  std::uint32_t sizeimage[kMaxPlanes] = {};
};

// Plane geometry of a raw picture format as the engines lay it out: rows
// padded to a 256-byte pitch and heights to 16 rows, as the board's engines
// do, so code that assumes stride == width shows its bug here too.
// packed: rows at the picture's own width and height, as a caller lays out
// memory it hands in by pointer (USERPTR).
bool rawLayout(std::uint32_t pixfmt, std::uint32_t width, std::uint32_t height, Format& out, bool packed = false);

struct PlaneMem {
  int memfd = -1;                 // MMAP: device memory
  std::uint8_t* map = nullptr;    // MMAP: the device's own mapping
  std::size_t length = 0;         // bytes of memory (MMAP) or as queued
  unsigned long userptr = 0;      // USERPTR
  int dmafd = -1;                 // DMABUF: our dup of the caller's descriptor
  int callerFd = -1;              // DMABUF: the number the caller queued
  std::uint32_t bytesused = 0;
};

enum class BufState { Dequeued, Queued, Done };

struct Buffer {
  BufState state = BufState::Dequeued;
  PlaneMem planes[kMaxPlanes];
  timeval timestamp{};
  std::uint32_t flags = 0;
  std::uint32_t sequence = 0;
};

struct Queue {
  std::uint32_t type = 0;
  std::uint32_t memory = V4L2_MEMORY_MMAP;
  Format fmt;
  std::vector<Buffer> bufs;
  std::deque<unsigned> queued;   // waiting for the engine, in queue order
  std::deque<unsigned> done;     // waiting for DQBUF, in completion order
  bool streaming = false;
  std::uint64_t generation = 0;  // bumped by STREAMOFF and REQBUFS
  int inFlight = 0;              // buffers the engine works on outside the lock
  std::uint32_t sequence = 0;
};

// A read/write mapping of a whole descriptor, unmapped on destruction.
class FdMapping {
 public:
  FdMapping() = default;
  explicit FdMapping(int fd) { reset(fd); }
  ~FdMapping() { reset(-1); }
  // Maps fd read-only (a negative fd only unmaps).
  void reset(int fd);
  FdMapping(const FdMapping&) = delete;
  FdMapping& operator=(const FdMapping&) = delete;
  std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

class Device {
 public:
  Device(std::string path, int flags, FaultPlan faults);
  virtual ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  void start();
  void shutdown();
  // Returns 0 or a positive errno.
  int ioctl(unsigned long request, void* arg);
  // The poll events that hold now, waiting up to timeoutMs for one of
  // `events` (0: none within the time).
  short poll(short events, int timeoutMs);

 protected:
  virtual void engine() = 0;
  // Checks and completes a requested format (0 or errno).
  virtual int acceptFormat(Queue& q, const v4l2_pix_format_mplane& req, Format& out) = 0;
  // The format G_FMT reports; the queue's own by default.
  virtual Format reportedFormat(const Queue& q) { return q.fmt; }
  // Extended / plain controls (0 or errno), called with mu_ held.
  virtual int setControl(std::uint32_t id, std::int64_t value);
  virtual int getControl(std::uint32_t id, std::int32_t& value);
  virtual int getExtControl(v4l2_ext_control& ctrl);
  // An extended control being set; plain values go to setControl.
  virtual int setExtControl(const v4l2_ext_control& ctrl) { return setControl(ctrl.id, ctrl.value); }
  // VIDIOC_(TRY_)DECODER_CMD, called with mu_ held; devices that cannot
  // drain answer ENOTTY, as a driver without the command does.
  virtual int decoderCommand(v4l2_decoder_cmd& /*cmd*/, bool /*tryOnly*/) { return ENOTTY; }

  Queue& queueOf(std::uint32_t type) { return type == out_.type ? out_ : cap_; }
  bool validType(std::uint32_t type) const { return type == out_.type || type == cap_.type; }
  // Base address of a buffer plane for the engine (maps DMABUF through `keep`).
  std::uint8_t* planeData(const Queue& q, const Buffer& b, unsigned p, FdMapping& keep, std::size_t& len);
  // Marks a buffer done and wakes waiters; called with mu_ held.
  void complete(Queue& q, unsigned index);
  void postEvent(std::uint32_t type);  // called with mu_ held
  // For engines that turn one output buffer into one capture buffer: waits
  // until both queues stream and hold a buffer, takes one of each and
  // counts them in flight. False once the device closes.
  bool takePair(std::unique_lock<std::mutex>& lk, unsigned& in, unsigned& out);
  void delayPicture() const;

  const std::string path_;
  const FaultPlan faults_;
  const bool nonBlocking_;

  std::mutex mu_;
  std::condition_variable cv_;
  Queue out_;  // guarded by mu_
  Queue cap_;  // guarded by mu_
  bool closing_ = false;                // guarded by mu_
  std::deque<v4l2_event> events_;       // guarded by mu_
  std::set<std::uint32_t> subscribed_;  // guarded by mu_
  std::uint32_t eventSequence_ = 0;     // guarded by mu_
  // The capture buffer flagged V4L2_BUF_FLAG_LAST was dequeued: further
  // dequeues fail with EPIPE until the decoder is started again or the
  // capture queue restarts, as a stateful decoder after a drain does.
  bool lastDequeued_ = false;           // guarded by mu_

 private:
  int doIoctl(unsigned long request, void* arg, std::unique_lock<std::mutex>& lk);
  int queryCap(v4l2_capability& cap);
  int sFmt(v4l2_format& f);
  int gFmt(v4l2_format& f);
  int reqBufs(v4l2_requestbuffers& r, std::unique_lock<std::mutex>& lk);
  int queryBuf(v4l2_buffer& b);
  int expBuf(v4l2_exportbuffer& e);
  int qBuf(v4l2_buffer& b);
  int dqBuf(v4l2_buffer& b, std::unique_lock<std::mutex>& lk);
  int streamOff(Queue& q, std::unique_lock<std::mutex>& lk);
  int extCtrls(v4l2_ext_controls& c, bool set);
  void releaseBuffers(Queue& q);
  void returnBuffer(Queue& q, Buffer& b);

  std::thread engine_;
  std::uint64_t callCounts_ = 0;  // calls of faults_.failRequest, guarded by mu_
  v4l2_rect selection_{};         // guarded by mu_

 protected:
  v4l2_fract timePerFrame_{1, 30};  // guarded by mu_: S_PARM of the output queue
};

}  // namespace v4l2emu
