#include "recognition/cnnproc.h"

#include "capture/cambuf.h"
#include "config/config.h"
#include "config/section_check.h"
#include "core/clock.h"
#include "core/threads.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <iterator>
#include <map>
#include <thread>

namespace kovira {

namespace {

constexpr auto kIdle = std::chrono::milliseconds(25);
constexpr int kModePlates = 2;
constexpr int kModeClassify = 6;
constexpr int kDepth = 1;  // the constant "1" argument of the recogniser call

// The descriptions as the mutable C strings the recogniser takes; the
// pointers live as long as the list.
std::vector<char*> tocnnpoly(std::list<std::string>& list) {
  std::vector<char*> out;
  out.reserve(list.size());
  for (std::string& s : list) out.push_back(s.data());
  return out;
}

}  // namespace

// The frames of one batch, copied out of the queue under its mutex: the
// decode thread may append while the recogniser runs.
struct CnnProc::Batch {
  std::vector<DecodedFrame> frames;
  int camid = 0;
  int width = 0;
  int height = 0;
};

CnnProc::CnnProc(ResQueue& queue) : results(queue), scene(sceneAccess()), lib(libcnnLibrary()) {
  attachConfig("cnnconf", *this);
  (void)lib.version();
}

CnnProc::CnnProc(ResQueue& queue, CnnLibrary library, const SceneAccess& scene_)
    : results(queue), scene(scene_), lib(std::move(library)) {
  if (lib.version) (void)lib.version();
}

SmartBufferIterator CnnProc::storedRecord(int camid, unsigned frame) const {
  CamBuf* store = scene.storeOf(static_cast<unsigned>(camid));
  return store == nullptr ? SmartBufferIterator() : store->frame(frame);
}

float CnnProc::congestionOf(int camid) const {
  CamBuf* store = scene.storeOf(static_cast<unsigned>(camid));
  return store == nullptr ? 0.0f : store->congestion();
}

CnnProc::~CnnProc() {
  // The configuration backup thread outlives main's stage: it must not write
  // this section after it is gone.
  try {
    detachConfig("cnnconf", *this);
  } catch (const std::exception& e) {
    std::cout << "[ERR] cnnconf not detached: " << e.what() << std::endl;
  }
  if (handle != nullptr && lib.release) lib.release(handle);
}

void CnnProc::queueFrame(DecodedFrame frame) {
  {
    std::lock_guard lock(queueMutex);
    queue.push_back(std::move(frame));
  }
  queued.notify_one();
}

void CnnProc::requestStop() {
  {
    std::lock_guard lock(queueMutex);
    stop = true;
  }
  queued.notify_all();
}

std::uint32_t CnnProc::queueSize() {
  std::lock_guard lock(queueMutex);
  return static_cast<std::uint32_t>(queue.size());
}

unsigned CnnProc::batchFor(unsigned queued) {
  const unsigned n = queued < kWholeQueueBelow ? queued : queued - kLeftForNext;
  return std::min(n, kMaxBatch);
}

unsigned CnnProc::stepFor(float c) {
  const double wide = c;
  if (wide > 0.9) return 5;
  if (wide > 0.8) return 4;
  if (c > 0.5f) return 3;
  if (wide > 0.3) return 2;
  return 1;
}

void CnnProc::operator()() {
  thread_name("kovira: cnnproc");
  while (!stop) {
    std::uint32_t n = 0;
    {
      // Woken by the next picture; the deadline only bounds how late a stop
      // set without a picture behind it is seen.
      std::unique_lock lock(queueMutex);
      queued.wait_for(lock, kIdle, [this] { return !queue.empty() || stop; });
      n = static_cast<std::uint32_t>(queue.size());
    }
    if (n == 0) continue;
    try {
      procNext(batchFor(n));
    } catch (const std::exception& e) {
      // A batch that throws would throw again: report it and drop what
      // waits, so the thread lives on with the next frames.
      std::cout << "[ERR] recognition batch failed: " << e.what() << std::endl;
      dropQueue();
    } catch (...) {
      std::cout << "[ERR] recognition batch failed" << std::endl;
      dropQueue();
    }
  }
}

void CnnProc::procNext(unsigned n) {
  int camid = 0;
  {
    std::lock_guard lock(queueMutex);
    if (queue.empty()) return;
    camid = queue.front().camid;
  }
  const unsigned step = stepFor(congestionOf(camid));
  const unsigned k = launchCnnProc(n, step);
  if (k >= 1) {
    // Only this thread removes frames, so the front k are the batch. Their
    // pictures are released after the lock: freeing megabytes must not hold
    // up the decode thread's next queueFrame.
    std::vector<DecodedFrame> done;
    {
      std::lock_guard lock(queueMutex);
      const auto end = queue.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(k, queue.size()));
      done.assign(std::make_move_iterator(queue.begin()), std::make_move_iterator(end));
      queue.erase(queue.begin(), end);
    }
    return;
  }
  std::cout << "[FAILURE] CNN proc error" << std::endl;
  dropQueue();
}

void CnnProc::dropQueue() {
  std::deque<DecodedFrame> dropped;
  {
    std::lock_guard lock(queueMutex);
    dropped.swap(queue);
  }
  for (const DecodedFrame& f : dropped) {
    auto rec = storedRecord(f.camid, f.frame);
    if (rec.valid()) rec->setFlags(FRAME_SKIP);
  }
}

CnnProc::Batch CnnProc::copyBatch(unsigned n) {
  Batch batch;
  std::lock_guard lock(queueMutex);
  if (queue.empty()) return batch;
  const DecodedFrame& first = queue.front();
  batch.camid = first.camid;
  batch.width = first.width;
  batch.height = first.height;
  for (const DecodedFrame& f : queue) {
    if (batch.frames.size() >= n || f.camid != first.camid || f.size != first.size) break;
    batch.frames.push_back(f);
  }
  return batch;
}

unsigned CnnProc::launchCnnProc(unsigned n, unsigned step) {
  if (n == 0 || step == 0) return 0;
  const Batch batch = copyBatch(n);
  const unsigned m = static_cast<unsigned>(batch.frames.size());
  if (m == 0) return 0;

  std::list<std::string> polys = scene.polygonsOfBatch(static_cast<unsigned>(batch.camid), batch.width, batch.height);
  if (polys.empty()) {
    for (const DecodedFrame& f : batch.frames) {
      auto rec = storedRecord(f.camid, f.frame);
      if (rec.valid()) rec->setFlags(FRAME_SKIP);
    }
    return m;
  }

  std::vector<void*> submitted;
  for (unsigned i = 0; i < m; i += step) submitted.push_back(batch.frames[i].pixels.get());

  void* h = checkCNN(batch.width, batch.height, polys);
  if (h == nullptr) {
    std::cout << "[FAILURE] CNN not init" << std::endl;
    return 0;
  }

  std::vector<char*> cpolys = tocnnpoly(polys);
  int count = kMaxResults;
  const auto started = std::chrono::steady_clock::now();
  const int walked = lib.run(h, area.data(), &count, submitted.data(), static_cast<int>(submitted.size()),
                             batch.width, batch.height, kDepth, cpolys.data(), static_cast<int>(cpolys.size()));
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  if (walked < 0) libraryError(batch);
  // A count the library did not write (still the capacity) or could not
  // have written leaves the result area meaningless.
  if (count == kMaxResults || count < 0 || count > kMaxResults) {
    std::cout << "[FAILURE] Plaese update libcnn.so; res_num is not changed" << std::endl;
    std::abort();
  }

  statpush(batch.camid, walked, static_cast<int>(step), elapsed, congestionOf(batch.camid), static_cast<int>(m),
           count);

  const unsigned consumed =
      static_cast<unsigned>(std::min<std::uint64_t>(static_cast<std::uint64_t>(walked) * step, m));
  markFrames(batch, consumed, step);
  placeReadings(batch, consumed, step, count);
  return consumed;
}

void CnnProc::libraryError(const Batch& batch) {
  std::cout << "[FAILURE] Error returned from libcnn.so, frames:" << std::endl;
  for (const DecodedFrame& f : batch.frames) {
    std::cout << "  n=" << f.frame << ":" << " size=" << f.width << "x" << f.height << ", camid=" << f.camid
              << ", len=" << f.size << std::endl;
  }
  std::abort();
}

// Flags go on the frames that were queued, by their own numbers: a gap in
// the decoded frames must not shift them onto frames never looked at.
void CnnProc::markFrames(const Batch& batch, unsigned consumed, unsigned step) {
  for (unsigned i = 0; i < consumed; ++i) {
    const DecodedFrame& f = batch.frames[i];
    auto rec = storedRecord(f.camid, f.frame);
    if (!rec.valid()) continue;
    rec->setFlags(i % step == 0 ? FRAME_CNN : FRAME_SKIP);
  }
}

void CnnProc::placeReadings(const Batch& batch, unsigned consumed, unsigned step, int count) {
  // A reading belongs to the index-th submitted frame. An index outside the
  // consumed frames (beyond what was submitted or walked) names no frame of
  // this batch and is dropped.
  std::vector<std::pair<unsigned, CNN_RESULT>> kept;
  std::map<unsigned, std::vector<CNN_RESULT>> perFrame;
  for (int i = 0; i < count; ++i) {
    CNN_RESULT r = area[static_cast<std::size_t>(i)];
    r.text[sizeof(r.text) - 1] = '\0';  // every later reader may treat it as a C string
    const std::uint64_t pos = static_cast<std::uint64_t>(r.index) * step;
    if (pos >= consumed) continue;
    kept.emplace_back(static_cast<unsigned>(pos), r);
    perFrame[static_cast<unsigned>(pos)].push_back(r);
  }
  // A frame's readings are published in one go; readers see all or none.
  std::map<unsigned, bool> present;
  for (auto& [pos, readings] : perFrame) {
    const DecodedFrame& f = batch.frames[pos];
    auto rec = storedRecord(f.camid, f.frame);
    present[pos] = rec.valid();
    if (rec.valid()) rec->publishResults(std::move(readings));
  }
  for (const auto& [pos, r] : kept) {
    if (present[pos]) results.push(batch.frames[pos].frame, r);
  }
}

void* CnnProc::checkCNN(int width, int height, const std::list<std::string>& polys) {
  const std::uint32_t size = static_cast<std::uint32_t>(width) * static_cast<std::uint32_t>(height);
  if (size > memcnnsize) initCNN(width, height);
  if (newPolygonCheck(polys)) initCNN(width, height);
  if (classifierUsed != classifier) initCNN(width, height);
  if (initforce > 0) initCNN(width, height);
  return handle;
}

bool CnnProc::newPolygonCheck(const std::list<std::string>& polys) const {
  std::lock_guard lock(statMutex);
  for (const std::string& p : polys)
    if (!std::binary_search(polygons.begin(), polygons.end(), p)) return true;
  return false;
}

void CnnProc::initCNN(int width, int height) {
  if (handle != nullptr) {
    lib.release(handle);
    handle = nullptr;
  }
  std::list<std::string> list = scene.polygonsOfRecogniser(width, height);
  list.sort();
  list.unique();
  {
    std::lock_guard lock(statMutex);
    polygons = list;
  }
  if (list.empty()) {
    std::cout << "[FAILURE] polygons (zone) not configured, cnn init() skip" << std::endl;
    return;
  }
  // The stored list keeps the strings alive for as long as the handle.
  std::vector<char*> ptrs;
  {
    std::lock_guard lock(statMutex);
    ptrs = tocnnpoly(polygons);
  }
  const int wantClassifier = classifier;
  handle = lib.init(maxproc, height, width, ptrs.data(), static_cast<int>(ptrs.size()),
                    wantClassifier != 0 ? kModeClassify : kModePlates);
  if (handle == nullptr) {
    std::cout << "[CNN] Init failure" << std::endl;
    for (const std::string& d : list) std::cout << d << std::endl;
    std::abort();
  }
  lib.setDebugLevel(handle, 0);
  classifierUsed = wantClassifier;
  initforce = 0;
  ++initCount;
  memcnnsize = static_cast<std::uint32_t>(width) * static_cast<std::uint32_t>(height);
}

void CnnProc::statpush(int camid, int walked, int step, double elapsed, double congestion, int maxframes, int found) {
  const std::uint32_t chunk = chunktime;
  const auto seconds = static_cast<std::uint32_t>(NowSec());
  const std::uint32_t start = chunk == 0 ? 0 : seconds / chunk * chunk;
  std::lock_guard lock(statMutex);
  if (stats.empty() || stats.front().start != start) {
    stat_t fresh;
    fresh.start = start;
    fresh.camid = static_cast<std::uint32_t>(camid);
    stats.push_front(fresh);
    // The page shows no more than this many periods; older ones only grow
    // the process.
    if (stats.size() > kStatPeriods) stats.pop_back();
  }
  stat_t& s = stats.front();
  s.frames += static_cast<std::uint64_t>(std::max(walked, 0));
  s.launched += 1;
  s.steps += static_cast<std::uint64_t>(std::max(step, 0));
  s.found += static_cast<std::uint64_t>(std::max(found, 0));
  s.maxframes += static_cast<std::uint64_t>(std::max(maxframes, 0));
  s.elapsed += elapsed;
  s.congestion += congestion;
}

std::vector<CnnProc::stat_t> CnnProc::statistics() const {
  std::lock_guard lock(statMutex);
  return {stats.begin(), stats.end()};
}

std::list<std::string> CnnProc::polygonList() const {
  std::lock_guard lock(statMutex);
  return polygons;
}

void CnnProc::tojson(nlohmann::json& section, int mode) {
  // emplace on anything but null or an object raises the JSON library's own
  // type error (311), whether or not a key is due.
  if (!section.is_null() && !section.is_object()) section.emplace("classifier", classifier.load());
  if (mode != 0 || classifier > 0) section.emplace("classifier", classifier.load());
  if (mode != 0 || maxproc != maxprocDefault) section.emplace("maxproc", maxproc.load());
}

namespace {
const FieldRule kCnnRules[] = {
    integerRule("classifier", kInt32Min, kInt32Max),  // non-zero asks for vehicle classes
    integerRule("maxproc", CnnProc::kMaxprocMin, CnnProc::kMaxprocMax),
};
}  // namespace

const FieldRule* CnnProc::rule(std::string_view key) {
  for (const FieldRule& r : kCnnRules)
    if (key == r.key) return &r;
  return nullptr;
}

std::string CnnProc::check(const nlohmann::json& section) const { return checkSection(section, kCnnRules); }

void CnnProc::fromjson(const nlohmann::json& section) {
  if (!section.is_object()) return;
  // A value the rules refuse keeps the old one, with a warning.
  int value = classifier;
  if (readRangedField(section, kCnnRules[0], value, "cnnconf")) classifier = value;
  value = maxproc;
  if (readRangedField(section, kCnnRules[1], value, "cnnconf")) maxproc = value;
}

}  // namespace kovira
