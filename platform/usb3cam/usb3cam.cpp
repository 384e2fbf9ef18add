// Stand-in of the industrial USB3 camera library (pylonc.h) with its test
// control (control.h). One simulated camera: a node map of typed features,
// a stream grabber that fills queued buffers in queue order, and a chunk
// trailer behind every picture.
#include "platform/scene/scene_render.h"
#include "platform/usb3cam/control.h"
#include "platform/usb3cam/pylonc.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

// Chunk trailer behind the picture's width x height bytes:
//
//   +----------+----------+-------------+ ... +---------------------+
//   | id (u32) | len (u32)| value (len) |     | trailer bytes (u32) |
//   +----------+----------+-------------+ ... +---------------------+
//
// ids: 1 "ChunkTimestamp" (u64 ns), 2 "ChunkGain" (f64 dB), 3
// "ChunkExposureTime" (f64 us); little-endian, as the host lays them out.
namespace {

constexpr std::uint32_t kChunkTimestamp = 1;
constexpr std::uint32_t kChunkGain = 2;
constexpr std::uint32_t kChunkExposure = 3;
constexpr std::size_t kTrailerRoom = 64;

struct Node {
  enum Kind { kFloat, kInt, kBool, kEnum, kCommand, kText } kind = kFloat;
  double value = 0;
  double min = 0;
  double max = 0;
  std::string text;
  std::vector<std::string> entries;
  bool writable = true;
};

}  // namespace

struct PylonBufferS {
  void* memory = nullptr;
  std::size_t size = 0;
  // What the buffer holds now: like the camera's DMA, a picture it already
  // holds is not written again.
  std::uint64_t picture = 0;
  double scale = -1;
};

struct PylonWaitS {
  PylonGrabberS* grabber = nullptr;
};

struct PylonGrabberS {
  PylonDeviceS* device = nullptr;
  PylonWaitS wait;
  bool open = false;
  bool prepared = false;
  std::size_t maxBuffers = 0;
  std::size_t maxSize = 0;
  std::set<PylonBufferS*> registered;
  std::deque<std::pair<PylonBufferS*, const void*>> input;
  std::deque<PylonGrabResult> output;
};

struct PylonParserS {
  PylonDeviceS* device = nullptr;
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  bool attached = false;
  std::map<std::uint32_t, std::array<std::uint8_t, 8>> values;
};

struct PylonDeviceS {
  std::map<std::string, Node> nodes;
  bool open = false;
  bool acquiring = false;
  std::string chunkSelector = "Gain";
  std::set<std::string> chunksEnabled;
  PylonGrabberS grabber;
  PylonParserS* parser = nullptr;
  std::chrono::steady_clock::time_point started;
  std::uint64_t frameNo = 0;
};

namespace usb3cam {
namespace {

struct FaultState {
  std::string text;
  int times = 0;
};

struct Sim {
  std::mutex mutex;
  std::condition_variable wake;
  Options options;
  std::optional<kovira::scenegen::Scene> scene;
  std::unique_ptr<kovira::scenegen::SceneRenderer> renderer;
  std::vector<std::uint8_t> picture;
  int pictureFrame = -1;
  std::uint64_t pictureGeneration = 0;  // changes whenever picture does
  bool pictureEmpty = false;           // picture is the road after the last vehicle
  double light = 1.0;
  int iris = 0;
  bool plugged = true;
  bool stalled = false;
  int steps = 0;
  int failedFrames = 0;
  int oversize = 0;
  std::set<std::string> removedChunks;
  std::map<Fault, FaultState> faults;
  // Feature names (parts of) whose writes the camera refuses, with the text.
  std::map<std::string, std::string> refused;
  std::uint64_t refusedWrites = 0;
  std::vector<std::string> journal;
  std::set<const void*> live;
  Counters counters;
  std::string lastError;
  std::string lastDetail;
  std::uint64_t delivered = 0;
  double exposure = kReferenceExposureUs;
  double gain = 0;
};

// Never destroyed, like a loaded library's own state: a grabber thread
// that is joined during static destruction still calls in.
Sim& sim() {
  static Sim* s = new Sim;
  return *s;
}

// Every function below named *Locked is called with sim().mutex held.
bool faultLocked(Fault f) {
  Sim& s = sim();
  auto it = s.faults.find(f);
  if (it == s.faults.end() || it->second.times == 0) return false;
  if (it->second.times > 0) --it->second.times;
  s.lastError = it->second.text;
  s.lastDetail = "stand-in fault";
  return true;
}

PylonStatus errorLocked(const std::string& text) {
  sim().lastError = text;
  sim().lastDetail.clear();
  return kPylonError;
}

bool validLocked(const void* handle) {
  if (handle != nullptr && sim().live.count(handle) != 0) return true;
  ++sim().counters.invalidHandles;
  sim().lastError = "invalid handle";
  return false;
}

std::string defaultSceneJson(int width, int height) {
  std::ostringstream out;
  out << R"({"width":)" << width << R"(,"height":)" << height
      << R"(,"module":)" << std::max(1, width / 400) << R"(,"fps":25,"seconds":1,"port":1,"limit":60,"threshold":70,"calibration":{"rows":[)" << height / 4 << ","
      << height / 2 << "," << 3 * height / 4 << R"(],"metres":6},"vehicles":[]})";
  return out.str();
}

void buildSceneLocked() {
  Sim& s = sim();
  const std::string text =
      s.options.sceneJson.empty() ? defaultSceneJson(s.options.width, s.options.height) : s.options.sceneJson;
  auto parsed = kovira::scenegen::parseScene(text);
  if (!parsed.scene) parsed = kovira::scenegen::parseScene(defaultSceneJson(640, 480));
  s.scene = *parsed.scene;
  s.renderer = std::make_unique<kovira::scenegen::SceneRenderer>(*s.scene);
  s.picture.assign(static_cast<std::size_t>(s.scene->width) * s.scene->height, 0);
  s.pictureFrame = -1;
  s.pictureEmpty = false;
  ++s.pictureGeneration;
}

Node floatNode(double value, double min, double max) { return Node{Node::kFloat, value, min, max, {}, {}, true}; }
Node enumNode(std::string value, std::vector<std::string> entries) {
  return Node{Node::kEnum, 0, 0, 0, std::move(value), std::move(entries), true};
}
Node boolNode(bool value) { return Node{Node::kBool, value ? 1.0 : 0.0, 0, 1, {}, {}, true}; }
Node textNode(std::string value) { return Node{Node::kText, 0, 0, 0, std::move(value), {}, false}; }

void buildNodes(PylonDeviceS& d) {
  const Options& o = sim().options;
  const auto& sc = *sim().scene;
  auto& n = d.nodes;
  n["DeviceModelName"] = textNode(o.model);
  n["DeviceSerialNumber"] = textNode(o.serial);
  n["DeviceFirmwareVersion"] = textNode("106755-16");
  n["DeviceVersion"] = textNode("107404-04");
  n["PixelFormat"] = enumNode(o.mono8 ? "Mono8" : "Mono12", o.mono8 ? std::vector<std::string>{"Mono8", "Mono12"}
                                                                    : std::vector<std::string>{"Mono12"});
  n["TriggerSelector"] = enumNode("FrameStart", {"FrameBurstStart", "FrameStart"});
  n["TriggerMode"] = enumNode("Off", {"Off", "On"});
  n["AcquisitionMode"] = enumNode("Continuous", {"SingleFrame", "Continuous"});
  n["ExposureMode"] = enumNode("Timed", {"Timed", "TriggerWidth"});
  n["ExposureAuto"] = enumNode("Off", {"Off", "Once", "Continuous"});
  n["GainAuto"] = enumNode("Off", {"Off", "Once", "Continuous"});
  n["ExposureTime"] = floatNode(kReferenceExposureUs, 28, 1000000);
  n["Gain"] = floatNode(0, 0, 36);
  if (o.gainLowerLimit) n["AutoGainLowerLimit"] = floatNode(0, 0, 36);
  n["AutoGainUpperLimit"] = floatNode(36, 0, 36);
  n["AutoExposureTimeLowerLimit"] = floatNode(28, 28, 1000000);
  n["AutoExposureTimeUpperLimit"] = floatNode(10000, 28, 1000000);
  n["AutoTargetBrightness"] = floatNode(0.5, 0.19608, 0.80392);
  n["AutoFunctionProfile"] = enumNode("MinimizeGain", {"MinimizeGain", "MinimizeExposureTime"});
  n["AutoFunctionROISelector"] = enumNode("ROI1", {"ROI1", "ROI2"});
  n["AutoFunctionROIUseBrightness"] = boolNode(false);
  n["AcquisitionFrameRateEnable"] = boolNode(false);
  n["AcquisitionFrameRate"] = floatNode(sc.fps, 1, 400);
  n["ResultingFrameRate"] = floatNode(sc.fps, 0, 400);
  n["ResultingFrameRate"].writable = false;
  n["DeviceTemperature"] = floatNode(41.5, -40, 125);
  n["DeviceTemperature"].writable = false;
  n["LineSelector"] = enumNode("Line1", {"Line1", "Line2", "Line3", "Line4"});
  n["LineMode"] = enumNode("Input", {"Input", "Output"});
  n["LineSource"] = enumNode("Off", {"Off", "ExposureActive", "UserOutput1"});
  n["LineInverter"] = boolNode(false);
  n["PayloadSize"] = Node{Node::kInt, static_cast<double>(sim().picture.size() + kTrailerRoom), 0, 0, {}, {}, false};
  n["AcquisitionStart"] = Node{Node::kCommand, 0, 0, 0, {}, {}, true};
  n["AcquisitionStop"] = Node{Node::kCommand, 0, 0, 0, {}, {}, true};
  if (o.chunks) {
    n["ChunkModeActive"] = boolNode(false);
    n["ChunkSelector"] = enumNode("Gain", {"Gain", "ExposureTime", "Timestamp"});
    n["ChunkEnable"] = boolNode(false);
  }
}

Node* nodeLocked(PylonDeviceS* d, const std::string& name) {
  auto it = d->nodes.find(name);
  return it == d->nodes.end() ? nullptr : &it->second;
}

// "EnumEntry_<feature>_<entry>".
bool entryAvailableLocked(PylonDeviceS* d, const std::string& name) {
  constexpr std::string_view kPrefix = "EnumEntry_";
  if (name.rfind(kPrefix, 0) != 0) return false;
  const std::string rest = name.substr(kPrefix.size());
  for (std::size_t us = rest.find('_'); us != std::string::npos; us = rest.find('_', us + 1)) {
    const Node* n = nodeLocked(d, rest.substr(0, us));
    if (n != nullptr && n->kind == Node::kEnum &&
        std::find(n->entries.begin(), n->entries.end(), rest.substr(us + 1)) != n->entries.end()) {
      return true;
    }
  }
  return false;
}

std::optional<Fault> writeFault(const std::string& name) {
  if (name == "PixelFormat") return Fault::kPixelFormat;
  if (name == "AcquisitionMode") return Fault::kAcquisitionMode;
  if (name == "ExposureMode") return Fault::kExposureMode;
  if (name == "AutoFunctionProfile") return Fault::kProfile;
  return std::nullopt;
}

std::optional<Fault> limitFault(const std::string& name) {
  if (name.rfind("AutoGain", 0) == 0) return Fault::kGainLimits;
  if (name.rfind("AutoExposureTime", 0) == 0) return Fault::kExposureLimits;
  if (name == "AutoTargetBrightness") return Fault::kBrightnessLimits;
  return std::nullopt;
}

std::string formatNumber(double v) {
  std::ostringstream out;
  out << v;
  return out.str();
}

// Writes a value given as text (enum entry, number or "true"/"false").
PylonStatus writeLocked(PylonDeviceS* d, const std::string& name, const std::string& value) {
  if (!d->open) return errorLocked("device is not open");
  if (auto f = writeFault(name); f && faultLocked(*f)) return kPylonError;
  for (const auto& [part, text] : sim().refused) {
    if (name.find(part) == std::string::npos) continue;
    ++sim().refusedWrites;
    return errorLocked(text.empty() ? "Feature '" + name + "': write refused by the camera" : text);
  }
  Node* n = nodeLocked(d, name);
  if (n == nullptr) return errorLocked("Node not existing: " + name);
  if (!n->writable) return errorLocked("Node is not writable: " + name);
  switch (n->kind) {
    case Node::kEnum:
      if (std::find(n->entries.begin(), n->entries.end(), value) == n->entries.end()) {
        return errorLocked("Feature '" + name + "': entry '" + value + "' not existing");
      }
      n->text = value;
      break;
    case Node::kBool:
      if (value != "true" && value != "false" && value != "1" && value != "0") return errorLocked("not a boolean");
      n->value = (value == "true" || value == "1") ? 1 : 0;
      break;
    case Node::kFloat: {
      char* end = nullptr;
      const double v = std::strtod(value.c_str(), &end);
      if (end == value.c_str() || *end != '\0' || !std::isfinite(v)) return errorLocked("not a number: " + value);
      if (v < n->min || v > n->max) return errorLocked("Value " + value + " out of range for " + name);
      if (name == "AutoExposureTimeUpperLimit" && v < d->nodes["AutoExposureTimeLowerLimit"].value) {
        return errorLocked("upper exposure limit below the lower limit");
      }
      if (name == "AutoExposureTimeLowerLimit" && v > d->nodes["AutoExposureTimeUpperLimit"].value) {
        return errorLocked("lower exposure limit above the upper limit");
      }
      n->value = v;
      break;
    }
    default:
      return errorLocked("Node is not writable: " + name);
  }
  if (name == "ChunkSelector") d->chunkSelector = value;
  if (name == "ChunkEnable") {
    if (n->value != 0) d->chunksEnabled.insert(d->chunkSelector);
    else d->chunksEnabled.erase(d->chunkSelector);
  }
  sim().journal.push_back(name + "=" + value);
  return kPylonOk;
}

// 1. The camera's own automatic exposure, then gain, steer the mean to the
// target; 2. the picture k of camera time t is rendered once; 3. its pixels
// are scaled by the light reaching the sensor.
void exposeLocked(PylonDeviceS* d, PylonBufferS* buffer, double seconds) {
  auto* out = static_cast<std::uint8_t*>(buffer->memory);
  Sim& s = sim();
  auto& n = d->nodes;
  const double irisFactor = std::pow(2.0, -s.iris / 10.0);
  const double needed = kReferenceExposureUs * (n["AutoTargetBrightness"].value / 0.5) / (s.light * irisFactor);
  double exposure = n["ExposureTime"].value;
  if (n["ExposureAuto"].text == "Continuous") {
    exposure = std::clamp(needed, n["AutoExposureTimeLowerLimit"].value, n["AutoExposureTimeUpperLimit"].value);
  }
  double gain = n["Gain"].value;
  if (n["GainAuto"].text == "Continuous") {
    const double lower = n.count("AutoGainLowerLimit") != 0 ? n["AutoGainLowerLimit"].value : 0.0;
    gain = std::clamp(20 * std::log10(std::max(needed / exposure, 1e-9)), lower, n["AutoGainUpperLimit"].value);
  }
  n["ExposureTime"].value = exposure;
  n["Gain"].value = gain;
  s.exposure = exposure;
  s.gain = gain;

  const int k = static_cast<int>(std::floor(seconds * s.scene->fps + 1e-9));
  bool empty = true;
  for (std::size_t v = 0; v < s.scene->vehicles.size(); ++v) empty = empty && s.renderer->exitSecond(v) <= seconds;
  if (k != s.pictureFrame && !(empty && s.pictureEmpty)) {
    s.renderer->render(k, {s.picture.data(), s.scene->width, s.scene->height, s.scene->width});
    s.pictureFrame = k;
    s.pictureEmpty = empty;
    ++s.pictureGeneration;
  }
  const double scale = s.light * irisFactor * exposure / kReferenceExposureUs * std::pow(10.0, gain / 20);
  if (buffer->picture == s.pictureGeneration && buffer->scale == scale) return;
  buffer->picture = s.pictureGeneration;
  buffer->scale = scale;
  if (std::abs(scale - 1.0) < 1e-6) {
    std::memcpy(out, s.picture.data(), s.picture.size());
    return;
  }
  std::array<std::uint8_t, 256> lut{};
  for (int v = 0; v < 256; ++v) lut[v] = static_cast<std::uint8_t>(std::min(255.0, std::lround(v * scale) * 1.0));
  for (std::size_t i = 0; i < s.picture.size(); ++i) out[i] = lut[s.picture[i]];
}

std::size_t writeTrailerLocked(PylonDeviceS* d, std::uint8_t* out, std::uint64_t stampNs) {
  Sim& s = sim();
  std::uint8_t* p = out;
  auto put = [&](std::uint32_t id, const std::string& name, const void* value) {
    if (d->chunksEnabled.count(name) == 0 || s.removedChunks.count("Chunk" + name) != 0) return;
    const std::uint32_t len = 8;
    std::memcpy(p, &id, 4);
    std::memcpy(p + 4, &len, 4);
    std::memcpy(p + 8, value, 8);
    p += 16;
  };
  put(kChunkTimestamp, "Timestamp", &stampNs);
  put(kChunkGain, "Gain", &s.gain);
  put(kChunkExposure, "ExposureTime", &s.exposure);
  const auto body = static_cast<std::uint32_t>(p - out);
  std::memcpy(p, &body, 4);
  return body + 4;
}

// Fills the oldest queued buffer with the next frame.
void produceLocked(PylonGrabberS* g) {
  Sim& s = sim();
  PylonDeviceS* d = g->device;
  auto [buffer, context] = g->input.front();
  g->input.pop_front();
  PylonGrabResult r;
  r.context = context;
  r.buffer = buffer;
  r.data = buffer->memory;
  r.width = s.scene->width;
  r.height = s.scene->height;
  const double rate = d->nodes["AcquisitionFrameRateEnable"].value != 0 ? d->nodes["AcquisitionFrameRate"].value
                                                                         : static_cast<double>(s.scene->fps);
  const double seconds = static_cast<double>(d->frameNo++) / rate;
  if (s.failedFrames > 0) {
    --s.failedFrames;
    r.status = kPylonGrabFailed;
    r.payloadType = kPylonPayloadImage;
    g->output.push_back(r);
    return;
  }
  auto* out = static_cast<std::uint8_t*>(buffer->memory);
  const std::size_t picture = s.picture.size();
  exposeLocked(d, buffer, seconds);
  const std::uint64_t stamp =
      static_cast<std::uint64_t>(std::floor(seconds * s.scene->fps + 1e-9)) * 1000000000ULL / s.scene->fps;
  const bool chunks = d->nodes.count("ChunkModeActive") != 0 && d->nodes["ChunkModeActive"].value != 0;
  r.payloadSize = picture + (chunks ? writeTrailerLocked(d, out + picture, stamp) : 0);
  r.payloadType = chunks ? kPylonPayloadChunkData : kPylonPayloadImage;
  r.status = kPylonGrabSucceeded;
  if (s.oversize > 0) {
    --s.oversize;
    r.payloadSize = buffer->size + 4096;  // a result claiming more than its buffer
  }
  ++s.delivered;
  g->output.push_back(r);
}

void refreshFromEnv();

}  // namespace

void reset(const Options& options) {
  std::lock_guard lock(sim().mutex);
  Sim& s = sim();
  s.options = options;
  s.light = 1.0;
  s.iris = 0;
  s.plugged = true;
  s.stalled = false;
  s.steps = 0;
  s.failedFrames = 0;
  s.oversize = 0;
  s.removedChunks.clear();
  s.faults.clear();
  s.refused.clear();
  s.refusedWrites = 0;
  s.journal.clear();
  s.delivered = 0;
  buildSceneLocked();
  s.wake.notify_all();
}

void unplug() {
  std::lock_guard lock(sim().mutex);
  sim().plugged = false;
  sim().wake.notify_all();
}
void replug() {
  std::lock_guard lock(sim().mutex);
  sim().plugged = true;
}
void stall(bool on) {
  std::lock_guard lock(sim().mutex);
  sim().stalled = on;
  sim().wake.notify_all();
}
void setLight(double level) {
  std::lock_guard lock(sim().mutex);
  if (std::isfinite(level) && level > 0) sim().light = level;
}
void setIris(int iris) {
  std::lock_guard lock(sim().mutex);
  sim().iris = std::clamp(iris, 0, kDarkestIris);
}
void fail(Fault step, const std::string& text, int times) {
  std::lock_guard lock(sim().mutex);
  sim().faults[step] = FaultState{text, times};
}
void refuse(const std::string& name, const std::string& text) {
  std::lock_guard lock(sim().mutex);
  sim().refused[name] = text;
}
void accept(const std::string& name) {
  std::lock_guard lock(sim().mutex);
  if (name.empty()) sim().refused.clear();
  else sim().refused.erase(name);
}
std::uint64_t refusedWrites() {
  std::lock_guard lock(sim().mutex);
  return sim().refusedWrites;
}
void failFrames(int results) {
  std::lock_guard lock(sim().mutex);
  sim().failedFrames = results;
}
void oversizeResults(int results) {
  std::lock_guard lock(sim().mutex);
  sim().oversize = results;
}
void removeChunk(const std::string& name) {
  std::lock_guard lock(sim().mutex);
  sim().removedChunks.insert(name);
}
void step(int n) {
  std::lock_guard lock(sim().mutex);
  sim().steps += n;
  sim().wake.notify_all();
}
Counters counters() {
  std::lock_guard lock(sim().mutex);
  return sim().counters;
}
std::vector<std::string> journal() {
  std::lock_guard lock(sim().mutex);
  return sim().journal;
}
void clearJournal() {
  std::lock_guard lock(sim().mutex);
  sim().journal.clear();
}
double exposureUs() {
  std::lock_guard lock(sim().mutex);
  return sim().exposure;
}
double gainDb() {
  std::lock_guard lock(sim().mutex);
  return sim().gain;
}
std::uint64_t framesDelivered() {
  std::lock_guard lock(sim().mutex);
  return sim().delivered;
}

bool command(const std::string& line) {
  std::istringstream in(line);
  std::string word;
  in >> word;
  if (word == "unplug") unplug();
  else if (word == "replug") replug();
  else if (word == "stall") stall(true);
  else if (word == "resume") stall(false);
  else if (word == "refuse" || word == "accept") {
    std::string name;
    in >> name;
    std::string text;
    std::getline(in >> std::ws, text);
    if (word == "accept") accept(name);
    else if (name.empty()) return false;
    else refuse(name, text);
  } else if (word == "light" || word == "iris") {
    double v = 0;
    if (!(in >> v)) return false;
    if (word == "light") setLight(v);
    else setIris(static_cast<int>(v));
  } else {
    return false;
  }
  return true;
}

bool configureFromFile(const std::string& path, std::string& error) {
  std::ifstream file(path);
  if (!file) {
    error = "cannot read " + path;
    return false;
  }
  Options o;
  double light = 1.0;
  std::vector<std::string> refusedNames;
  try {
    const nlohmann::json j = nlohmann::json::parse(file);
    o.devices = j.value("devices", 1);
    o.mono8 = j.value("mono8", true);
    o.chunks = j.value("chunks", true);
    o.width = j.value("width", o.width);
    o.height = j.value("height", o.height);
    const std::string pacing = j.value("pacing", std::string("rate"));
    o.pacing = pacing == "unpaced" ? Pacing::kUnpaced : pacing == "step" ? Pacing::kStepped : Pacing::kFrameRate;
    if (j.contains("scene")) o.sceneJson = j["scene"].dump();
    light = j.value("light", 1.0);
    for (const auto& name : j.value("refuse", nlohmann::json::array())) refusedNames.push_back(name.get<std::string>());
  } catch (const std::exception& e) {
    error = path + ": " + e.what();
    return false;
  }
  reset(o);
  setLight(light);
  for (const std::string& name : refusedNames) refuse(name, "");
  return true;
}

}  // namespace usb3cam

using usb3cam::Fault;
using usb3cam::Sim;
using usb3cam::sim;

namespace usb3cam {
namespace {

// The FIFO of control lines named by KOVIRA_USB3CAM's file ("fifo"). Owned
// by a function-local static: its destructor stops and joins the reader.
class FifoReader {
 public:
  ~FifoReader() { stop(); }
  void start(const std::string& path) {
    if (thread_.joinable() || path.empty()) return;
    thread_ = std::thread([this, path] { run(path); });
  }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  void run(const std::string& path) {
    try {
      std::string pending;
      while (!stop_) {
        // Opened without blocking so that a stop is seen while no writer is there.
        const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return;
        while (!stop_) {
          pollfd p{fd, POLLIN, 0};
          if (::poll(&p, 1, 100) <= 0) continue;
          char chunk[256];
          const ssize_t n = ::read(fd, chunk, sizeof chunk);
          if (n <= 0) break;  // every writer left: open again
          pending.append(chunk, static_cast<std::size_t>(n));
          for (std::size_t nl = pending.find('\n'); nl != std::string::npos; nl = pending.find('\n')) {
            (void)command(pending.substr(0, nl));
            pending.erase(0, nl + 1);
          }
          if (pending.size() > 4096) pending.clear();
        }
        ::close(fd);
        if (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    } catch (...) {
    }
  }
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

void refreshFromEnv() {
  static std::once_flag once;
  std::call_once(once, [] {
    const char* path = std::getenv("KOVIRA_USB3CAM");
    Options none;
    none.devices = 0;
    if (path == nullptr || *path == '\0') {
      reset(none);
      return;
    }
    std::string error;
    if (!configureFromFile(path, error)) {
      reset(none);
      return;
    }
    try {
      std::ifstream file(path);
      const nlohmann::json j = nlohmann::json::parse(file);
      static FifoReader reader;
      reader.start(j.value("fifo", std::string()));
    } catch (...) {
    }
  });
}

}  // namespace
}  // namespace usb3cam

// ---- The library calls ----

namespace {

template <class H>
bool valid(H* handle) {
  return usb3cam::validLocked(handle);
}

// Lengths in and out as the library does: copies when the buffer is large
// enough, and always reports the needed length.
PylonStatus copyText(const std::string& text, char* buffer, std::size_t* len) {
  if (len == nullptr) return kPylonError;
  const std::size_t need = text.size() + 1;
  if (buffer == nullptr) {
    *len = need;
    return kPylonOk;
  }
  if (*len < need) {
    *len = need;
    return kPylonError;
  }
  std::memcpy(buffer, text.c_str(), need);
  *len = need;
  return kPylonOk;
}

}  // namespace

PylonStatus PylonInitialize() {
  usb3cam::refreshFromEnv();
  return kPylonOk;
}
PylonStatus PylonTerminate() { return kPylonOk; }

PylonStatus PylonEnumerateDevices(std::size_t* count) {
  std::lock_guard lock(sim().mutex);
  if (usb3cam::faultLocked(Fault::kEnumerate)) return kPylonError;
  if (count == nullptr) return usb3cam::errorLocked("null count");
  *count = sim().plugged ? static_cast<std::size_t>(std::max(0, sim().options.devices)) : 0;
  return kPylonOk;
}

PylonStatus PylonCreateDeviceByIndex(std::size_t index, PylonDeviceHandle* device) {
  std::lock_guard lock(sim().mutex);
  if (device == nullptr) return usb3cam::errorLocked("null handle");
  if (usb3cam::faultLocked(Fault::kCreate)) return kPylonError;
  if (!sim().plugged || index >= static_cast<std::size_t>(std::max(0, sim().options.devices))) {
    return usb3cam::errorLocked("No device is available or no device contains the provided device info properties.");
  }
  if (!sim().scene) usb3cam::buildSceneLocked();
  auto* d = new PylonDeviceS;
  usb3cam::buildNodes(*d);
  d->grabber.device = d;
  d->grabber.wait.grabber = &d->grabber;
  sim().live.insert(d);
  ++sim().counters.devices;
  *device = d;
  return kPylonOk;
}

PylonStatus PylonDeviceOpen(PylonDeviceHandle device, int accessMode) {
  std::lock_guard lock(sim().mutex);
  if (!valid(device)) return kPylonInvalidHandle;
  if (usb3cam::faultLocked(Fault::kOpen)) return kPylonError;
  if (accessMode != kPylonAccessControlStream || device->open) return usb3cam::errorLocked("cannot open device");
  device->open = true;
  return kPylonOk;
}

PylonStatus PylonDeviceClose(PylonDeviceHandle device) {
  std::lock_guard lock(sim().mutex);
  if (!valid(device)) return kPylonInvalidHandle;
  device->open = false;
  device->acquiring = false;
  return kPylonOk;
}

PylonStatus PylonDestroyDevice(PylonDeviceHandle device) {
  std::lock_guard lock(sim().mutex);
  if (!valid(device)) return kPylonInvalidHandle;
  Sim& s = sim();
  // What the caller did not release goes with the device, as it does on the
  // real library; the counters still show it was left behind.
  if (device->parser != nullptr) s.live.erase(device->parser), delete device->parser;
  for (PylonBufferS* b : device->grabber.registered) s.live.erase(b), delete b;
  s.live.erase(&device->grabber);
  s.live.erase(&device->grabber.wait);
  s.live.erase(device);
  --s.counters.devices;
  delete device;
  return kPylonOk;
}

bool PylonDeviceFeatureIsReadable(PylonDeviceHandle device, const char* name) {
  std::lock_guard lock(sim().mutex);
  if (!valid(device) || name == nullptr) return false;
  const Node* n = usb3cam::nodeLocked(device, name);
  if (n == nullptr && std::string_view(name).rfind("Chunk", 0) == 0 && device->parser != nullptr) {
    return device->parser->attached;
  }
  return n != nullptr && n->kind != Node::kCommand;
}

bool PylonDeviceFeatureIsAvailable(PylonDeviceHandle device, const char* name) {
  std::lock_guard lock(sim().mutex);
  if (!valid(device) || name == nullptr) return false;
  const std::string text = name;
  if (usb3cam::entryAvailableLocked(device, text)) return true;
  // Chunk values are available while an attached buffer carries them.
  static const std::map<std::string, std::uint32_t> kChunkIds = {
      {"ChunkTimestamp", kChunkTimestamp}, {"ChunkGain", kChunkGain}, {"ChunkExposureTime", kChunkExposure}};
  if (auto it = kChunkIds.find(text); it != kChunkIds.end()) {
    PylonParserS* p = device->parser;
    return p != nullptr && p->attached && p->values.count(it->second) != 0;
  }
  return usb3cam::nodeLocked(device, text) != nullptr;
}

bool PylonDeviceFeatureIsWritable(PylonDeviceHandle device, const char* name) {
  std::lock_guard lock(sim().mutex);
  if (!valid(device) || name == nullptr) return false;
  const Node* n = usb3cam::nodeLocked(device, name);
  return n != nullptr && n->writable && n->kind != Node::kCommand;
}

PylonStatus PylonDeviceFeatureToString(PylonDeviceHandle device, const char* name, char* buffer, std::size_t* len) {
  std::lock_guard lock(sim().mutex);
  if (!valid(device)) return kPylonInvalidHandle;
  if (name == nullptr) return usb3cam::errorLocked("null name");
  const Node* n = usb3cam::nodeLocked(device, name);
  if (n == nullptr) return usb3cam::errorLocked(std::string("Node not existing: ") + name);
  const std::string text = (n->kind == Node::kText || n->kind == Node::kEnum) ? n->text : usb3cam::formatNumber(n->value);
  return copyText(text, buffer, len);
}

PylonStatus PylonDeviceFeatureFromString(PylonDeviceHandle device, const char* name, const char* value) {
  std::lock_guard lock(sim().mutex);
  if (!valid(device)) return kPylonInvalidHandle;
  if (name == nullptr || value == nullptr) return usb3cam::errorLocked("null argument");
  return usb3cam::writeLocked(device, name, value);
}

PylonStatus PylonDeviceSetBooleanFeature(PylonDeviceHandle device, const char* name, bool value) {
  std::lock_guard lock(sim().mutex);
  if (!valid(device)) return kPylonInvalidHandle;
  if (name == nullptr) return usb3cam::errorLocked("null name");
  const Node* n = usb3cam::nodeLocked(device, name);
  if (n != nullptr && n->kind != Node::kBool) return usb3cam::errorLocked(std::string("not a boolean: ") + name);
  return usb3cam::writeLocked(device, name, value ? "true" : "false");
}

PylonStatus PylonDeviceSetFloatFeature(PylonDeviceHandle device, const char* name, double value) {
  std::lock_guard lock(sim().mutex);
  if (!valid(device)) return kPylonInvalidHandle;
  if (name == nullptr) return usb3cam::errorLocked("null name");
  const Node* n = usb3cam::nodeLocked(device, name);
  if (n != nullptr && n->kind != Node::kFloat) return usb3cam::errorLocked(std::string("not a float: ") + name);
  return usb3cam::writeLocked(device, name, usb3cam::formatNumber(value));
}

PylonStatus PylonDeviceExecuteCommandFeature(PylonDeviceHandle device, const char* name) {
  std::lock_guard lock(sim().mutex);
  if (!valid(device)) return kPylonInvalidHandle;
  if (name == nullptr) return usb3cam::errorLocked("null name");
  const std::string text = name;
  if (text == "AcquisitionStart" && usb3cam::faultLocked(Fault::kAcquisitionStart)) return kPylonError;
  const Node* n = usb3cam::nodeLocked(device, text);
  if (n == nullptr || n->kind != Node::kCommand || !device->open) return usb3cam::errorLocked("cannot execute " + text);
  if (text == "AcquisitionStart") {
    device->acquiring = true;
    device->started = std::chrono::steady_clock::now();
    device->frameNo = 0;
  } else if (text == "AcquisitionStop") {
    device->acquiring = false;
  }
  sim().journal.push_back(text + "()");
  return kPylonOk;
}

namespace {

PylonStatus readFloat(PylonDeviceHandle device, const char* name, double* value, int which) {
  std::lock_guard lock(sim().mutex);
  if (!valid(device)) return kPylonInvalidHandle;
  if (name == nullptr || value == nullptr) return usb3cam::errorLocked("null argument");
  const std::string text = name;
  if (which != 0) {
    if (auto f = usb3cam::limitFault(text); f && usb3cam::faultLocked(*f)) return kPylonError;
  }
  if (text == "ChunkGain" || text == "ChunkExposureTime") {
    PylonParserS* p = device->parser;
    const std::uint32_t id = text == "ChunkGain" ? kChunkGain : kChunkExposure;
    if (p == nullptr || !p->attached || p->values.count(id) == 0) return usb3cam::errorLocked("no chunk " + text);
    std::memcpy(value, p->values[id].data(), 8);
    return kPylonOk;
  }
  const Node* n = usb3cam::nodeLocked(device, text);
  if (n == nullptr || n->kind != Node::kFloat) return usb3cam::errorLocked("no float feature " + text);
  *value = which == 0 ? n->value : which < 0 ? n->min : n->max;
  return kPylonOk;
}

}  // namespace

PylonStatus PylonDeviceGetFloatFeature(PylonDeviceHandle device, const char* name, double* value) {
  return readFloat(device, name, value, 0);
}
PylonStatus PylonDeviceGetFloatFeatureMin(PylonDeviceHandle device, const char* name, double* value) {
  return readFloat(device, name, value, -1);
}
PylonStatus PylonDeviceGetFloatFeatureMax(PylonDeviceHandle device, const char* name, double* value) {
  return readFloat(device, name, value, 1);
}

PylonStatus PylonDeviceGetIntegerFeature(PylonDeviceHandle device, const char* name, std::int64_t* value) {
  std::lock_guard lock(sim().mutex);
  if (!valid(device)) return kPylonInvalidHandle;
  if (name == nullptr || value == nullptr) return usb3cam::errorLocked("null argument");
  const std::string text = name;
  if (text == "ChunkTimestamp") {
    PylonParserS* p = device->parser;
    if (p == nullptr || !p->attached || p->values.count(kChunkTimestamp) == 0) return usb3cam::errorLocked("no chunk");
    std::memcpy(value, p->values[kChunkTimestamp].data(), 8);
    return kPylonOk;
  }
  if (text == "PayloadSize" && usb3cam::faultLocked(Fault::kPayloadSize)) return kPylonError;
  const Node* n = usb3cam::nodeLocked(device, text);
  if (n == nullptr || n->kind != Node::kInt) return usb3cam::errorLocked("no integer feature " + text);
  *value = static_cast<std::int64_t>(n->value);
  return kPylonOk;
}

PylonStatus PylonDeviceGetIntegerFeatureInt32(PylonDeviceHandle device, const char* name, std::int32_t* value) {
  if (value == nullptr) return kPylonError;
  std::int64_t wide = 0;
  const PylonStatus st = PylonDeviceGetIntegerFeature(device, name, &wide);
  if (st != kPylonOk) return st;
  if (wide < INT32_MIN || wide > INT32_MAX) return kPylonError;
  *value = static_cast<std::int32_t>(wide);
  return kPylonOk;
}

PylonStatus PylonDeviceCreateChunkParser(PylonDeviceHandle device, PylonParserHandle* parser) {
  std::lock_guard lock(sim().mutex);
  if (!valid(device)) return kPylonInvalidHandle;
  if (parser == nullptr) return usb3cam::errorLocked("null handle");
  if (usb3cam::faultLocked(Fault::kChunkParser)) return kPylonError;
  if (device->nodes.count("ChunkModeActive") == 0 || device->parser != nullptr) {
    return usb3cam::errorLocked("cannot create a chunk parser");
  }
  device->parser = new PylonParserS;
  device->parser->device = device;
  sim().live.insert(device->parser);
  ++sim().counters.parsers;
  *parser = device->parser;
  return kPylonOk;
}

PylonStatus PylonDeviceDestroyChunkParser(PylonDeviceHandle device, PylonParserHandle parser) {
  std::lock_guard lock(sim().mutex);
  if (!valid(device) || !valid(parser)) return kPylonInvalidHandle;
  if (device->parser != parser) return usb3cam::errorLocked("parser of another device");
  sim().live.erase(parser);
  delete parser;
  device->parser = nullptr;
  --sim().counters.parsers;
  return kPylonOk;
}

PylonStatus PylonChunkParserAttachBuffer(PylonParserHandle parser, const void* data, std::size_t size) {
  std::lock_guard lock(sim().mutex);
  if (!valid(parser)) return kPylonInvalidHandle;
  if (usb3cam::faultLocked(Fault::kAttach)) return kPylonError;
  if (data == nullptr || size < 4) return usb3cam::errorLocked("no chunk trailer");
  // The trailer is read back to front: its length last, then the chunks.
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::uint32_t body = 0;
  std::memcpy(&body, bytes + size - 4, 4);
  if (body > size - 4) return usb3cam::errorLocked("chunk trailer longer than the payload");
  std::map<std::uint32_t, std::array<std::uint8_t, 8>> values;
  for (std::size_t at = size - 4 - body; at < size - 4;) {
    if (size - 4 - at < 8) return usb3cam::errorLocked("truncated chunk header");
    std::uint32_t id = 0;
    std::uint32_t len = 0;
    std::memcpy(&id, bytes + at, 4);
    std::memcpy(&len, bytes + at + 4, 4);
    at += 8;
    if (len > size - 4 - at) return usb3cam::errorLocked("chunk longer than the trailer");
    if (len == 8) std::memcpy(values[id].data(), bytes + at, 8);
    at += len;
  }
  parser->data = bytes;
  parser->size = size;
  parser->values = std::move(values);
  parser->attached = true;
  return kPylonOk;
}

PylonStatus PylonChunkParserDetachBuffer(PylonParserHandle parser) {
  std::lock_guard lock(sim().mutex);
  if (!valid(parser)) return kPylonInvalidHandle;
  if (!parser->attached) return usb3cam::errorLocked("no buffer attached");
  parser->attached = false;
  parser->values.clear();
  return kPylonOk;
}

PylonStatus PylonDeviceGetNumStreamGrabberChannels(PylonDeviceHandle device, std::size_t* channels) {
  std::lock_guard lock(sim().mutex);
  if (!valid(device)) return kPylonInvalidHandle;
  if (channels == nullptr) return usb3cam::errorLocked("null count");
  if (usb3cam::faultLocked(Fault::kGrabberChannel)) return kPylonError;
  *channels = sim().options.channels;
  return kPylonOk;
}

PylonStatus PylonDeviceGetStreamGrabber(PylonDeviceHandle device, std::size_t channel, PylonGrabberHandle* grabber) {
  std::lock_guard lock(sim().mutex);
  if (!valid(device)) return kPylonInvalidHandle;
  if (grabber == nullptr || channel >= sim().options.channels) return usb3cam::errorLocked("no such channel");
  sim().live.insert(&device->grabber);
  *grabber = &device->grabber;
  return kPylonOk;
}

PylonStatus PylonStreamGrabberOpen(PylonGrabberHandle grabber) {
  std::lock_guard lock(sim().mutex);
  if (!valid(grabber)) return kPylonInvalidHandle;
  if (grabber->open) return usb3cam::errorLocked("grabber already open");
  grabber->open = true;
  ++sim().counters.grabbers;
  return kPylonOk;
}

PylonStatus PylonStreamGrabberClose(PylonGrabberHandle grabber) {
  std::lock_guard lock(sim().mutex);
  if (!valid(grabber)) return kPylonInvalidHandle;
  if (!grabber->open) return usb3cam::errorLocked("grabber not open");
  grabber->open = false;
  grabber->prepared = false;
  --sim().counters.grabbers;
  return kPylonOk;
}

PylonStatus PylonStreamGrabberGetWaitObject(PylonGrabberHandle grabber, PylonWaitHandle* wait) {
  std::lock_guard lock(sim().mutex);
  if (!valid(grabber)) return kPylonInvalidHandle;
  if (wait == nullptr) return usb3cam::errorLocked("null handle");
  if (usb3cam::faultLocked(Fault::kWaitObject)) return kPylonError;
  if (!grabber->open) return usb3cam::errorLocked("grabber not open");
  sim().live.insert(&grabber->wait);
  *wait = &grabber->wait;
  return kPylonOk;
}

PylonStatus PylonStreamGrabberSetMaxNumBuffer(PylonGrabberHandle grabber, std::size_t count) {
  std::lock_guard lock(sim().mutex);
  if (!valid(grabber)) return kPylonInvalidHandle;
  if (usb3cam::faultLocked(Fault::kMaxBuffers)) return kPylonError;
  grabber->maxBuffers = count;
  return kPylonOk;
}

PylonStatus PylonStreamGrabberSetMaxBufferSize(PylonGrabberHandle grabber, std::size_t size) {
  std::lock_guard lock(sim().mutex);
  if (!valid(grabber)) return kPylonInvalidHandle;
  grabber->maxSize = size;
  return kPylonOk;
}

PylonStatus PylonStreamGrabberPrepareGrab(PylonGrabberHandle grabber) {
  std::lock_guard lock(sim().mutex);
  if (!valid(grabber)) return kPylonInvalidHandle;
  if (usb3cam::faultLocked(Fault::kPrepare)) return kPylonError;
  if (!grabber->open || grabber->maxBuffers == 0) return usb3cam::errorLocked("grabber not ready");
  grabber->prepared = true;
  return kPylonOk;
}

PylonStatus PylonStreamGrabberRegisterBuffer(PylonGrabberHandle grabber, void* memory, std::size_t size,
                                             PylonBufferHandle* buffer) {
  std::lock_guard lock(sim().mutex);
  if (!valid(grabber)) return kPylonInvalidHandle;
  if (memory == nullptr || buffer == nullptr || !grabber->prepared || size > grabber->maxSize ||
      grabber->registered.size() >= grabber->maxBuffers) {
    return usb3cam::errorLocked("cannot register the buffer");
  }
  auto* b = new PylonBufferS{memory, size};
  grabber->registered.insert(b);
  sim().live.insert(b);
  ++sim().counters.buffers;
  *buffer = b;
  return kPylonOk;
}

PylonStatus PylonStreamGrabberDeregisterBuffer(PylonGrabberHandle grabber, PylonBufferHandle buffer) {
  std::lock_guard lock(sim().mutex);
  if (!valid(grabber) || !valid(buffer)) return kPylonInvalidHandle;
  if (grabber->registered.erase(buffer) == 0) return usb3cam::errorLocked("buffer of another grabber");
  auto queued = [&](const auto& e) { return e.first == buffer; };
  if (std::any_of(grabber->input.begin(), grabber->input.end(), queued)) {
    grabber->registered.insert(buffer);
    return usb3cam::errorLocked("buffer is still queued");
  }
  sim().live.erase(buffer);
  delete buffer;
  --sim().counters.buffers;
  return kPylonOk;
}

PylonStatus PylonStreamGrabberQueueBuffer(PylonGrabberHandle grabber, PylonBufferHandle buffer, const void* context) {
  std::lock_guard lock(sim().mutex);
  if (!valid(grabber) || !valid(buffer)) return kPylonInvalidHandle;
  if (usb3cam::faultLocked(Fault::kQueue)) return kPylonError;
  if (grabber->registered.count(buffer) == 0) return usb3cam::errorLocked("buffer not registered");
  if (buffer->size < sim().picture.size() + kTrailerRoom) return usb3cam::errorLocked("buffer too small");
  grabber->input.emplace_back(buffer, context);
  sim().wake.notify_all();
  return kPylonOk;
}

PylonStatus PylonStreamGrabberRetrieveResult(PylonGrabberHandle grabber, PylonGrabResult* result, bool* ready) {
  std::lock_guard lock(sim().mutex);
  if (!valid(grabber)) return kPylonInvalidHandle;
  if (result == nullptr || ready == nullptr) return usb3cam::errorLocked("null argument");
  if (usb3cam::faultLocked(Fault::kRetrieve)) return kPylonError;
  *ready = !grabber->output.empty();
  if (*ready) {
    *result = grabber->output.front();
    grabber->output.pop_front();
  }
  return kPylonOk;
}

PylonStatus PylonStreamGrabberCancelGrab(PylonGrabberHandle grabber) {
  std::lock_guard lock(sim().mutex);
  if (!valid(grabber)) return kPylonInvalidHandle;
  // Queued buffers come back as cancelled (failed) results.
  for (auto [buffer, context] : grabber->input) {
    PylonGrabResult r;
    r.context = context;
    r.buffer = buffer;
    r.status = kPylonGrabFailed;
    grabber->output.push_back(r);
  }
  grabber->input.clear();
  sim().wake.notify_all();
  return kPylonOk;
}

PylonStatus PylonStreamGrabberFinishGrab(PylonGrabberHandle grabber) {
  std::lock_guard lock(sim().mutex);
  if (!valid(grabber)) return kPylonInvalidHandle;
  grabber->prepared = false;
  grabber->output.clear();
  return kPylonOk;
}

PylonStatus PylonWaitObjectWait(PylonWaitHandle wait, unsigned timeoutMs, bool* ready) {
  std::unique_lock lock(sim().mutex);
  if (!valid(wait)) return kPylonInvalidHandle;
  if (ready == nullptr) return usb3cam::errorLocked("null argument");
  Sim& s = sim();
  PylonGrabberS* g = wait->grabber;
  PylonDeviceS* d = g->device;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  *ready = false;
  while (true) {
    if (!s.live.count(wait)) return kPylonInvalidHandle;
    if (!s.plugged) return usb3cam::errorLocked("The device has been removed from the PC.");
    if (!g->output.empty()) {
      *ready = true;
      return kPylonOk;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return kPylonOk;
    if (!s.stalled && d->acquiring && !g->input.empty()) {
      auto due = now;
      if (s.options.pacing == usb3cam::Pacing::kFrameRate) {
        const double rate = d->nodes["AcquisitionFrameRateEnable"].value != 0
                                ? d->nodes["AcquisitionFrameRate"].value
                                : static_cast<double>(s.scene->fps);
        due = d->started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                               std::chrono::duration<double>(static_cast<double>(d->frameNo) / rate));
      } else if (s.options.pacing == usb3cam::Pacing::kStepped) {
        due = s.steps > 0 ? now : deadline + std::chrono::hours(1);
      }
      if (due <= now) {
        if (s.options.pacing == usb3cam::Pacing::kStepped) --s.steps;
        usb3cam::produceLocked(g);
        continue;
      }
      s.wake.wait_until(lock, std::min(due, deadline));
      continue;
    }
    s.wake.wait_until(lock, deadline);
  }
}

PylonStatus GenApiGetLastErrorMessage(char* buffer, std::size_t* len) {
  std::lock_guard lock(sim().mutex);
  return copyText(sim().lastError, buffer, len);
}

PylonStatus GenApiGetLastErrorDetail(char* buffer, std::size_t* len) {
  std::lock_guard lock(sim().mutex);
  return copyText(sim().lastDetail, buffer, len);
}
