// Control of the camera library stand-in: what a test (or, for the real
// binary, the file and FIFO named by KOVIRA_USB3CAM) does to the simulated
// camera. The camera renders a road scene (the scene JSON of platform/scene) at
// its own time t, stamps the frame with t and scales the pixels by light x
// exposure x gain x iris; its automatic exposure, then gain, steer the mean
// towards "AutoTargetBrightness" (0.5 gives the renderer's own pixels at the
// default light with an exposure of kReferenceExposureUs).
//
// Threading: every call takes the library's mutex; step() wakes a waiting
// grabber. Lifetime: the state lives for the whole process; reset() puts it
// back as at start (tests call it between cases).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace usb3cam {

inline constexpr double kReferenceExposureUs = 800;
inline constexpr int kDarkestIris = 70;

enum class Pacing { kFrameRate, kUnpaced, kStepped };

// Library calls that a test can make fail, with the text the last-error
// calls then report.
enum class Fault {
  kEnumerate, kCreate, kOpen, kPixelFormat, kAcquisitionMode, kExposureMode, kChunkParser,
  kGainLimits, kExposureLimits, kBrightnessLimits, kProfile, kGrabberChannel, kWaitObject,
  kPayloadSize, kMaxBuffers, kPrepare, kAcquisitionStart, kQueue, kRetrieve, kAttach, kCount
};

struct Counters {
  int devices = 0;   // created and not destroyed
  int grabbers = 0;  // opened and not closed
  int buffers = 0;   // registered and not deregistered
  int parsers = 0;   // created and not destroyed
  int invalidHandles = 0;
};

struct Options {
  int devices = 1;
  bool mono8 = true;
  bool chunks = true;
  bool gainLowerLimit = true;
  std::size_t channels = 1;
  int width = 640;
  int height = 480;
  Pacing pacing = Pacing::kUnpaced;
  std::string sceneJson;  // empty: a plain textured road of width x height
  std::string model = "acA2440-75um";
  std::string serial = "40012345";
};

// Back to the start state with these options (drops faults and the journal).
void reset(const Options& options);
// The options from a JSON file ("devices", "mono8", "chunks", "width",
// "height", "pacing": "rate"|"unpaced"|"step", "scene": a scene object,
// "light", "refuse": feature names as for refuse()); false with a message on
// an unreadable file.
bool configureFromFile(const std::string& path, std::string& error);
// One control line: "unplug", "replug", "stall", "resume", "light X",
// "iris N", "refuse NAME [TEXT]", "accept [NAME]". False for an unknown line.
bool command(const std::string& line);

void unplug();
void replug();
void stall(bool on);
void setLight(double level);
void setIris(int iris);
// The next call to the failing library step returns an error; text is what
// the last-error calls report then. times: how many calls fail (-1 always).
void fail(Fault step, const std::string& text, int times = -1);
// Every write to a feature whose name contains `name` fails, and the
// last-error calls report `text` (empty: a text naming the feature), until
// accept(name); accept("") takes back every refusal. "ExposureTime" refuses
// the exposure limits the driver writes. refusedWrites() counts the writes
// refused since reset().
void refuse(const std::string& name, const std::string& text);
void accept(const std::string& name);
std::uint64_t refusedWrites();
// Delivers the next `results` results as failed frames / with a payload
// larger than the buffers / with a width x height beyond the payload.
void failFrames(int results);
void oversizeResults(int results);
void removeChunk(const std::string& name);
// Stepped pacing: lets n more frames out.
void step(int n);

Counters counters();
// Writes and commands in order: "Name=value" for writes, "Name()" for
// commands.
std::vector<std::string> journal();
void clearJournal();
double exposureUs();
double gainDb();
std::uint64_t framesDelivered();

}  // namespace usb3cam
