// The evidence composition shared by every module that reports events: the
// best frame of a track becomes a collage with a caption, a passage on the
// tickets page, and a tar archive ("m.jpg", "plate.jpg", "big.jpg",
// "angel.xml", "signature.sign", "kovira.json", in this order, each where
// the module and the action ask for it) handed to storing and upload.
//
// What differs between modules is one row of the settings table
// (moduleSettings) plus the event's own values (EventValues); the sequence
// itself exists once.
//
// Threading: runs on the result-queue workers, several compositions at
// once. It reads the configuration, the action and the zone under the
// configuration read lock, copies the frame out of the store (see
// compose_frame.h), and everything it builds is private to the call.
#pragma once

#include "core/console.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

class LabelFormat;
namespace kovira {
class Action;
class Track;
}  // namespace kovira

namespace evidence {

// Results of a module's processtrack, shared by all evidence modules.
enum ComposeResult : int {
  kEvidenceStored = 1,   // composed and handed to storing
  kNoEvent = 0,          // a decision test failed
  kTooLittleData = -1,   // too few valid points or plate readings
  kNoEvidenceFrame = -2,  // no usable frame or clock (also: a building block failed)
  kNoFreeSpace = -3,     // /tmp below the floor
};

// Evidence is composed only while /tmp has more than this many bytes free
// (so at least 2 GiB): scratch copies and pictures of busy hours live there.
inline constexpr std::uint64_t kComposeFreeSpaceFloor = 2147483647;
inline constexpr int kDefaultJpegQuality = 80;
inline constexpr int kPlateJpegQuality = 80;
// Car flow keeps every passing vehicle: smaller pictures, a higher floor.
inline constexpr int kFlowJpegQuality = 30;
inline constexpr std::uint64_t kFlowFreeSpaceFloor = 3221225471;

// Whether an archive member is added.
enum class Member : std::uint8_t {
  Never,
  ByFeature,  // when the action's `extra` names the member's feature word
  Always,
};

// Which fields the report carries, and in which order.
enum class ReportKind : std::uint8_t {
  Configured,   // the device fields of the configuration, then the event's
  FixedTexts,   // the bus-lane report: fixed certificate texts, no speed fields
  ThreePhoto,   // the three-photo speed report: empty certificates, built-in device texts
  None,         // no "angel.xml"
};

// What one module changes in the composition: one row per module.
struct ModuleSettings {
  std::string_view name;         // the method name the row is found by
  std::string_view type;         // passage type and "type" of kovira.json
  int collage = 1;               // collage layout; 4 adds the first and last measured frames
  bool redbox = true;            // drawn when the action has the feature "redbox"
  bool crosshair = false;        // drawn when the action has the feature "crosshair"
  bool colourPhoto = false;      // the evidence frame turns colour after brightening ("big.jpg" too)
  Member platePicture = Member::Never;  // "plate.jpg"
  Member fullFrame = Member::ByFeature;  // "big.jpg", feature "fullframe"
  Member signature = Member::ByFeature;  // "signature.sign", feature "angelsign"
  int defaultQuality = kDefaultJpegQuality;  // JPEG quality of an action with quality 0
  std::uint64_t freeSpaceFloor = kComposeFreeSpaceFloor;
  ReportKind report = ReportKind::Configured;
  std::string_view reportField;  // set to 1 in angel.xml ("nOverSpeed", ...)
  bool speedFields = true;       // nDisplaySpeed and nSpeedThreshold in a configured report
  bool thresholdIfSet = false;   // nSpeedThreshold only for an action whose `speed` is not 0
  bool metadataFirst = false;    // "kovira.json" before "angel.xml" (the car-flow order)
  bool alert = true;             // the passage is marked as a violation
  int debugQuality = 0;          // JPEG quality of the track debug picture; 0: the saver's default
  bool metadataSpeed = true;     // "spd" in kovira.json
  bool ticketClass = false;      // passage class from Track::type()
  bool ticketPlateCount = false;  // passage count: plate readings, not all points
};

// The row of a module; null for a module without one.
const ModuleSettings* moduleSettings(std::string_view module);

// One extra key of kovira.json.
struct MetaField {
  std::string key;
  std::variant<std::int64_t, std::string> value;
};

// The event's own values.
struct EventValues {
  float speed = 0;  // km/h: nDisplaySpeed, "spd", the passage's speed
  // The module's caption variables, added after "n" and before the
  // direction word; receives the evidence frame's capture microseconds.
  std::function<void(LabelFormat&, std::uint32_t usec)> caption;
  std::vector<MetaField> metadata;
  // Three-photo collages: the first and last measured frames.
  unsigned firstFrame = 0, lastFrame = 0;
  // An event that is only counted: the passage is recorded, no archive made.
  bool archive = true;
  bool highlight = false;  // the passage is shown highlighted
};

// The one console-line writer, reached from modules as evidence::consoleLine.
using ::consoleLine;

// A speed as the reports show it: truncated toward zero; 0 for a value no
// int holds.
int truncatedSpeed(float kmh);

// Console line and result -2 when the camera of the track's zone no longer
// holds the frame with its bytes (the look a module takes before it
// measures); 0 when it does.
int checkEvidenceFrame(const kovira::Track& track, unsigned frame);

// The composition from the frame copy on: 1, -2 or -3 (see ComposeResult),
// with the console lines of the frame and space failures. An exception from
// a building block ends the event with an "[ERR] " line and -2; nothing
// leaves this function.
int composeEvidence(const ModuleSettings& module, kovira::Track& track, kovira::Action& action, unsigned frame,
                    const EventValues& values);

}  // namespace evidence
