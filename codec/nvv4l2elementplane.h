// One of the two buffer queues of a codec element: the output plane carries
// data into the engine, the capture plane results out. It keeps the queue's
// plane geometry, owns the queue's NvBuffer objects, queues and dequeues
// them, counts the buffers the driver holds, switches streaming and can run
// a dequeue thread ("Output Plane" / "Capture Plane") that hands every
// dequeued buffer to a callback.
//
// Threading: one thread may queue while another dequeues. plane_lock guards
// the buffer table, counters, streaming flag and thread state; DQBUF runs
// without it so that a blocking dequeue never stops queueing. The dequeue
// thread is owned by the plane and joined by stopDQThread, waitForDQThread
// or deinitPlane. Nothing throws.
#pragma once

#include "codec/nvbuffer.h"
#include "codec/nvelementprofiler.h"

#include <linux/videodev2.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

typedef bool (*dqThreadCallback)(struct v4l2_buffer* v4l2_buf, NvBuffer* buffer, NvBuffer* shared_buffer,
                                 void* data);

class NvV4l2ElementPlane {
 public:
  NvV4l2ElementPlane(enum v4l2_buf_type buf_type, const char* device_name, int& fd, bool blocking,
                     NvElementProfiler& profiler);
  ~NvV4l2ElementPlane();
  NvV4l2ElementPlane(const NvV4l2ElementPlane&) = delete;
  NvV4l2ElementPlane& operator=(const NvV4l2ElementPlane&) = delete;

  int setBufferPlaneFormat(int n_planes, NvBuffer::NvBufferPlaneFormat* planefmts);
  int setFormat(struct v4l2_format& format);
  int getFormat(struct v4l2_format& format);
  int getCrop(struct v4l2_crop& crop);
  int setSelection(std::uint32_t target, std::uint32_t flags, struct v4l2_rect& rect);
  int setStreamParms(struct v4l2_streamparm& parm);

  int reqbufs(enum v4l2_memory mem_type, std::uint32_t num);
  int setupPlane(enum v4l2_memory mem_type, std::uint32_t num_buffers, bool map, bool allocate);
  int queryBuffer(std::uint32_t buf_index);
  int exportBuffer(std::uint32_t buf_index);
  void deinitPlane();

  NvBuffer* getNthBuffer(std::uint32_t n);
  int qBuffer(struct v4l2_buffer& v4l2_buf, NvBuffer* shared_buffer);
  int dqBuffer(struct v4l2_buffer& v4l2_buf, NvBuffer** buffer, NvBuffer** shared_buffer, std::uint32_t num_retries);

  // Waits up to max_wait_ms until a buffer of this queue can be dequeued
  // without blocking (or, with orEvent, an event is pending): 1 when a
  // buffer can, 2 when only an event is pending, 0 when the time passed, -1
  // when the queue does not stream or the device failed. Lets a user bound
  // a dequeue on a blocking device.
  int pollBuffer(std::uint32_t max_wait_ms, bool orEvent = false);

  int setStreamStatus(bool status);
  bool getStreamStatus();

  int waitAllBuffersQueued(std::uint32_t max_wait_ms);
  int waitAllBuffersDequeued(std::uint32_t max_wait_ms);

  bool setDQThreadCallback(dqThreadCallback callback);
  int startDQThread(void* data);
  int stopDQThread();
  int waitForDQThread(std::uint32_t max_wait_ms);

  std::uint32_t getNumBuffers();
  std::uint32_t getNumPlanes();
  std::uint32_t getNumQueuedBuffers();
  std::uint32_t getTotalQueuedBuffers();
  std::uint32_t getTotalDequeuedBuffers();
  enum v4l2_memory getMemoryType();
  int isInError() const { return is_in_error.load(); }

  // For the elements' waits on the plane counters (converter's waitForIdle).
  std::mutex& lock() { return plane_lock; }
  std::condition_variable& cond() { return plane_cond; }
  // Called with lock() held.
  std::uint32_t totalDequeuedLocked() const { return total_dequeued_buffers; }
  std::uint32_t totalQueuedLocked() const { return total_queued_buffers; }
  bool streamingLocked() const { return streamon; }

 private:
  void dqThread();
  int waitUntil(std::uint32_t max_wait_ms, const char* stem, bool wantAllQueued);

  std::mutex plane_lock;
  std::condition_variable plane_cond;
  int& fd;
  const char* plane_name;
  enum v4l2_buf_type buf_type;
  bool blocking;
  std::uint32_t num_buffers = 0;                     // guarded by plane_lock
  NvBuffer** buffers = nullptr;                      // guarded by plane_lock
  std::uint32_t n_planes = 0;
  NvBuffer::NvBufferPlaneFormat planefmts[MAX_PLANES] = {};
  enum v4l2_memory memory_type = V4L2_MEMORY_MMAP;
  std::uint32_t num_queued_buffers = 0;              // guarded by plane_lock
  std::uint32_t total_queued_buffers = 0;            // guarded by plane_lock
  std::uint32_t total_dequeued_buffers = 0;          // guarded by plane_lock
  bool streamon = false;                             // guarded by plane_lock
  bool dqthread_running = false;                     // guarded by plane_lock
  std::atomic<bool> stop_dqthread{false};
  std::thread dq_thread;                             // guarded by plane_lock
  dqThreadCallback callback = nullptr;               // guarded by plane_lock
  void* dqThread_data = nullptr;                     // guarded by plane_lock
  NvElementProfiler& profiler;
  std::atomic<int> is_in_error{0};
  const char* comp_name;
};
