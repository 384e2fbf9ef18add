// In-process emulation of the board's V4L2 memory-to-memory codec devices
// (decoder, converter, encoder) for host builds. The device seam
// (codec/nvdevice.h) hands a path to `open` first; paths that are not
// emulated come back as kNotEmulated and go to the real system call.
//
// Every emulated descriptor is a real descriptor number (an eventfd kept
// open for the instance), so it never collides with other files and a
// leaked one is visible to descriptor counts. Each instance owns an engine
// thread; `close` stops and joins it. All functions are thread-safe; ioctl
// follows the V4L2 convention (-1 with errno on failure).
//
// Test switches (FaultPlan) are process-wide and apply to instances opened
// after they are set. A whole unit takes its plan from the environment
// variable KOVIRA_V4L2EMU, a JSON object whose keys are the field names
// below (for instance {"pictureDelayMs": 20, "noDrain": true}); an unknown
// key or a value of the wrong kind makes every open fail (EINVAL) and is
// told by envFaultsError(), which the unit checks at start.
//
// By default the decoder keeps the kernel's stateful decoder rules: a stop
// command while either queue is not streaming starts no drain; a drain ends
// with an empty capture buffer flagged V4L2_BUF_FLAG_LAST and no
// V4L2_EVENT_EOS; start or stop during a drain answers EBUSY; a change of
// coded size or reference frame count ends the capture buffers decoded
// before it with one flagged LAST, raises V4L2_EVENT_SOURCE_CHANGE and waits
// for the capture queue to be set up again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace v4l2emu {

inline constexpr int kNotEmulated = -2;

// Returns a descriptor, -1 with errno, or kNotEmulated for other paths.
int open(const char* path, int flags);
// True when fd belongs to an emulated instance.
bool owns(int fd);
int ioctl(int fd, unsigned long request, void* arg);
int close(int fd);
// Like poll(2) on one descriptor: POLLIN when a capture buffer is done,
// POLLOUT when an output buffer is done, POLLPRI when an event is pending,
// POLLERR when a queue asked about is not streaming or the instance closes.
// Returns 1 with revents set, 0 when nothing happened within timeoutMs,
// -1 with errno.
int poll(int fd, short events, short& revents, int timeoutMs);

struct FaultPlan {
  // Applies to devices whose path contains this text ("" means every device).
  std::string device;
  // Grant at most this many bytes for a coded input plane (0: as asked).
  std::uint32_t grantInputBytes = 0;
  // Grant this many buffers more than a non-zero REQBUFS asks for.
  std::uint32_t extraBuffers = 0;
  // EXPBUF of this capture buffer index hands out a read-only descriptor.
  int readOnlyExportIndex = -1;
  // The failNth-th call (1-based) of request failRequest fails with failErrno.
  unsigned long failRequest = 0;
  int failNth = 0;
  int failErrno = 5;  // EIO
  // Asynchronous engines: each picture is held this long before it completes.
  unsigned pictureDelayMs = 0;
  // QUERYCAP reports no memory-to-memory multi-planar capability.
  bool noM2M = false;
  // The engine takes no work and completes nothing, while requests are still
  // answered: a hung hardware engine behind a live driver.
  bool hung = false;
  // Decoder: pictures kept back before they complete, on top of the
  // stream's own reordering (the output delay of a hardware decoder).
  unsigned reorderDepth = 0;
  // Decoder: VIDIOC_DECODER_CMD is not supported (a driver that cannot drain).
  bool noDrain = false;
  // Decoder: V4L2_DEC_CMD_STOP is accepted but the drain never completes.
  bool drainNeverEnds = false;
  // Decoder: a drain's end also posts the deprecated V4L2_EVENT_EOS.
  bool eosEvent = false;
  // Decoder: every this many pictures (0: none) one comes back flagged
  // V4L2_BUF_FLAG_ERROR with damaged content, as a failed or concealed
  // decode does.
  unsigned errorPictureEvery = 0;
};

// Reads a fault plan from a JSON object text; false with the reason.
bool parseFaultPlan(const std::string& json, FaultPlan& plan, std::string& error);
// Why KOVIRA_V4L2EMU cannot be used ("" when it is unset or valid).
std::string envFaultsError();

void setFaults(const FaultPlan& plan);
// Back to the plan of KOVIRA_V4L2EMU (no faults when it is unset).
void clearFaults();

// Every control a device was asked to set, in order (path, id, value, and
// the record's bytes for controls that pass one by address).
struct ControlRecord {
  std::string device;
  std::uint32_t id;
  std::int64_t value;
  std::vector<std::uint8_t> payload;
};
std::vector<ControlRecord> controlLog();
void clearControlLog();

// Number of emulated instances open now (tests check for leaks).
int openInstances();

}  // namespace v4l2emu
