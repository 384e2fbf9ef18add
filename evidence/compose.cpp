#include "evidence/compose.h"

#include "capture/cam.h"
#include "config/actions.h"
#include "config/config.h"
#include "config/zones.h"
#include "core/console.h"
#include "core/fs.h"
#include "core/ids.h"
#include "core/text.h"
#include "evidence/brighten.h"
#include "evidence/collage.h"
#include "evidence/collageimage.h"
#include "evidence/common.h"
#include "evidence/compose_frame.h"
#include "evidence/compose_geometry.h"
#include "evidence/debug_imgtrack.h"
#include "evidence/frameaccess.h"
#include "evidence/labelformat.h"
#include "evidence/simplefile.h"
#include "evidence/tar.h"
#include "evidence/tickets.h"
#include "evidence/xmlreport.h"
#include "recognition/track.h"

#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include <array>
#include <cmath>
#include <cstdio>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

namespace evidence {
namespace {

// One row per evidence module; a new module adds its row here.
constexpr std::array kModules = {
    ModuleSettings{.name = "speed",
                   .type = "speed",
                   .crosshair = true,
                   .platePicture = Member::Always,
                   .reportField = "nOverSpeed",
                   .ticketClass = true},
    ModuleSettings{.name = "speed-kormelino",
                   .type = "speed",
                   .collage = 4,
                   .colourPhoto = true,
                   .platePicture = Member::Always,
                   .fullFrame = Member::Always,
                   .signature = Member::Never,
                   .report = ReportKind::ThreePhoto,
                   .reportField = "nOverSpeed",
                   .ticketPlateCount = true},
    ModuleSettings{.name = "wrongdir", .type = "wrongdir", .reportField = "nWrongDirection"},
    ModuleSettings{.name = "carflow",
                   .type = "carflow",
                   .redbox = false,
                   .crosshair = true,
                   .platePicture = Member::Always,
                   .defaultQuality = kFlowJpegQuality,
                   .freeSpaceFloor = kFlowFreeSpaceFloor,
                   .thresholdIfSet = true,
                   .metadataFirst = true,
                   .alert = false,
                   .debugQuality = 60,
                   .ticketClass = true},
    ModuleSettings{.name = "busline",
                   .type = "busline",
                   .fullFrame = Member::Always,
                   .signature = Member::Never,
                   .report = ReportKind::FixedTexts,
                   .reportField = "nWrongLine",
                   .speedFields = false,
                   .alert = false,  // a passage record, not a violation mark
                   .metadataSpeed = false,
                   .ticketPlateCount = true},
    ModuleSettings{.name = "busline-kormelino",
                   .type = "busline",
                   .collage = 4,
                   .platePicture = Member::Always,
                   .fullFrame = Member::Always,
                   .signature = Member::Never,
                   .report = ReportKind::None,
                   .alert = false,
                   .ticketPlateCount = true},
};

// Texts every bus-lane report carries, whatever the configuration holds.
constexpr const char* kBusCertificate = "RR-2001";
constexpr const char* kBusApproval = " RU-2002";
constexpr const char* kBusCertificateExpiry = "2020-12-31";
// Device texts of the three-photo report: the measuring device and its site.
constexpr const char* kThreePhotoRadar = "СВФ Ковира";
constexpr const char* kThreePhotoSerial = "KV-0001";
constexpr const char* kThreePhotoLocation = "45000001";

constexpr const char* kRed = "0000FF";
constexpr int kRedBoxThickness = 6;
constexpr int kCrosshairThickness = 4;
constexpr int kMetadataVersion = 2;
constexpr int kMetadataIndent = 4;
constexpr int kMissingMark = 0;
constexpr int kThreePhotoCollage = 4;  // report value of a marked point outside the picture


// What the composition reads of the action and the configuration, copied
// under one read lock: pages may edit both while the event is built.
struct Settings {
  std::string extra, label;
  int imgw = 0, imgh = 0, quality = kDefaultJpegQuality;
  std::uint32_t limit = 0;
  std::string signkey, hostname, address, serial, devname, codeloc, lat, lon, lonlat, gps;
  std::int32_t timezone = 0, devid = 0;
  int camid = 0;
  std::int32_t actid = 0;
  std::string clamped;  // what was changed of the action's picture settings

  bool feature(const std::string& word) const { return extra.find(word) != std::string::npos; }
  bool wants(Member member, const std::string& word) const {
    return member == Member::Always || (member == Member::ByFeature && feature(word));
  }
};

Settings readSettings(const ModuleSettings& module, const kovira::Action& action, const kovira::Track& track) {
  kovira::ConfigReadLock lock;
  Settings s;
  s.quality = module.defaultQuality;
  s.extra = action.extra;
  s.label = action.label;
  s.imgw = clampCollageSide(action.imgw);
  s.imgh = clampCollageSide(action.imgh);
  if (action.quality != 0) s.quality = static_cast<int>(std::min(action.quality, kMaxJpegQuality));
  s.clamped = clampedSettings(action.imgw, action.imgh, action.quality);
  s.actid = action.actid;
  s.limit = action.speed;
  const kovira::GlobalConfig& cfg = kovira::config();
  s.signkey = cfg.signkey;
  s.hostname = cfg.hostname;
  s.address = cfg.address;
  s.serial = cfg.serial;
  s.devname = cfg.devname;
  s.codeloc = cfg.codeloc;
  s.gps = cfg.gps();
  s.lat = cfg.lat();
  s.lon = cfg.lon();
  s.lonlat = cfg.lonlat();
  s.timezone = cfg.timezone;
  s.devid = cfg.devid;
  s.camid = kovira::zone(static_cast<int>(track.zone)).camid;  // throws for an unknown zone
  return s;
}

// An action whose picture settings are out of range gives evidence of
// another size than configured (and plate-corner fields of 0 where the
// collage is too small): say so once per action and set of values, not on
// every event.
void warnClamped(const Settings& s) {
  if (s.clamped.empty()) return;
  static std::mutex mutex;
  static std::set<std::pair<std::int32_t, std::string>> warned;  // guarded by mutex
  {
    std::lock_guard lock(mutex);
    if (!warned.emplace(s.actid, s.clamped).second) return;
  }
  consoleLine("[WARNING] action " + std::to_string(s.actid) + ": " + s.clamped);
}

kovira::CamBuf& storeOfCamera(int camid) {
  kovira::CamBuf* store = kovira::storeOf(camid);
  if (store == nullptr) throw std::logic_error("no frame store of camera " + std::to_string(camid));
  return *store;
}

void addMember(Tar& tar, const std::string& name, const char* data, std::size_t size) {
  if (size > static_cast<std::size_t>(std::numeric_limits<int>::max()) ||
      !tar.add(name, data, static_cast<int>(size)))
    throw std::runtime_error("archive member " + name + " not added");
}

SimpleFile jpeg(cv::Mat& image, int quality, const char* what) {
  SimpleFile out = loadCvImage(image, "frame.jpg", quality);
  if (out.size == 0) throw std::runtime_error(std::string(what) + " not encoded");
  return out;
}

std::string metadataText(const ModuleSettings& module, const Settings& s, const kovira::Track& track,
                         const std::string& plate, const std::string& uid, std::uint32_t sec,
                         const EventValues& values) {
  nlohmann::json meta = nlohmann::json::object();
  meta["version"] = kMetadataVersion;
  meta["tm"] = sec;
  if (s.devid != 0) meta["camid"] = s.devid;
  meta["type"] = std::string(module.type);
  meta["timezone"] = s.timezone;
  meta["hostname"] = s.hostname;
  meta["direction"] = track.direction();
  meta["address"] = s.address;
  meta["serial"] = s.serial;
  meta["uid"] = uid;
  meta["lat"] = s.lat;
  meta["lon"] = s.lon;
  meta["acc"] = static_cast<double>(track.advAccuracy());
  meta["txt"] = plate;
  if (module.metadataSpeed) meta["spd"] = truncatedSpeed(values.speed);
  for (const MetaField& f : values.metadata) {
    std::visit([&](const auto& v) { meta[f.key] = v; }, f.value);
  }
  // Texts come from the operator and the recogniser: a stray byte becomes
  // U+FFFD instead of an exception that would lose the event.
  return meta.dump(kMetadataIndent, ' ', false, nlohmann::json::error_handler_t::replace);
}

void setMarks(XmlReport& report, Collage& collage) {
  for (int i = 1; i <= 3; ++i) {
    int x = kMissingMark, y = kMissingMark;
    if (!collage.getCoord(i, x, y)) x = y = kMissingMark;
    report.set<int>("nRectNumX" + format("%d", i), x);
    report.set<int>("nRectNumY" + format("%d", i), y);
  }
}

// The report's fields in the order of the module's report kind.
XmlReport buildReport(const ModuleSettings& module, const Settings& s, const kovira::Track& track,
                      const std::string& plate, const std::string& uid, std::uint32_t sec, std::size_t mjpgSize,
                      const EventValues& values, Collage& collage) {
  XmlReport report;
  const std::string size = format("%lu", static_cast<unsigned long>(mjpgSize));
  const int direction = static_cast<int>(track.direction());
  switch (module.report) {
    case ReportKind::Configured:
      report.set<kovira::GlobalConfig>(kovira::config());
      report.set("tTargetGlobalUID", uid);
      report.set("tLicenseNumber", plate);
      report.set("tGpsPos", s.lonlat);
      report.set<unsigned int>("nDatetime", sec);
      report.set<int>("nTZOffset", s.timezone);
      report.set<int>("nDirection", direction);
      if (module.speedFields) {
        report.set<int>("nDisplaySpeed", truncatedSpeed(values.speed));
        if (!module.thresholdIfSet || s.limit != 0) report.set<unsigned int>("nSpeedThreshold", s.limit);
      }
      report.set("nImagePresent", format("%lu", 1ul));
      report.set<unsigned int>("nImageWidth", static_cast<unsigned>(s.imgw));
      report.set<unsigned int>("nImageHeight", static_cast<unsigned>(s.imgh));
      report.set("nSize", size);
      break;
    case ReportKind::FixedTexts:
      report.set("tTargetGlobalUID", uid);
      report.set<unsigned int>("nDatetime", sec);
      report.set<int>("nDirection", direction);
      report.set<int>("nTZOffset", s.timezone);
      report.set<int>("nImagePresent", 1);
      report.set("nSize", size);
      report.set<unsigned int>("nImageWidth", static_cast<unsigned>(s.imgw));
      report.set<unsigned int>("nImageHeight", static_cast<unsigned>(s.imgh));
      report.set("tCertificateNumber", kBusCertificate);
      report.set("tCertificateExpDate", kBusCertificateExpiry);
      report.set("tApprovalCertificateNumber", kBusApproval);
      report.set("tApprovalCertificateExpDate", kBusCertificateExpiry);
      report.set("tRadarName", s.devname);
      report.set("tSensorName", s.address);
      report.set("tDeviceSerial", s.serial);
      report.set("tLocationCode", s.codeloc);
      report.set("tLicenseNumber", plate);
      report.set("tGpsPos", s.lonlat);
      break;
    case ReportKind::ThreePhoto:
      report.set("tTargetGlobalUID", uid);
      report.set<unsigned int>("nDatetime", sec);
      report.set<int>("nDirection", direction);
      // A negative offset keeps the plus: "+-3.00", as collection servers read it.
      report.set("nTZOffset", format("+%d.00", s.timezone));
      report.set<int>("nDisplaySpeed", truncatedSpeed(values.speed));
      report.set<int>("nImagePresent", 1);
      report.set("nSize", size);
      report.set<unsigned int>("nImageWidth", static_cast<unsigned>(s.imgw));
      report.set<unsigned int>("nImageHeight", static_cast<unsigned>(s.imgh));
      report.set("tCertificateNumber", "");
      report.set("tCertificateExpDate", "");
      report.set("tApprovalCertificateNumber", "");
      report.set("tApprovalCertificateExpDate", "");
      report.set("tDeviceSerial", kThreePhotoSerial);
      report.set("tRadarName", kThreePhotoRadar);
      report.set("tSensorName", s.address);
      report.set("tLocationCode", kThreePhotoLocation);
      report.set<unsigned int>("nSpeedThreshold", s.limit);
      report.set("tLicenseNumber", plate);
      report.set("tGpsPos", s.gps);
      break;
    case ReportKind::None:
      break;
  }
  if (!module.reportField.empty()) report.set<int>(std::string(module.reportField), 1);
  setMarks(report, collage);
  return report;
}

void updateTicket(std::uint32_t id, const std::function<void(ticket_t&)>& edit) {
  (void)updatewebticket(id, edit);  // a ticket already dropped from the list needs nothing
}

int compose(const ModuleSettings& module, kovira::Track& track, kovira::Action& action, unsigned frame,
            const EventValues& values) {
  const std::string plate = track.text();
  const Settings s = readSettings(module, action, track);
  warnClamped(s);
  kovira::CamBuf& store = storeOfCamera(s.camid);

  // 1-4. The evidence frame, copied once and checked, into this worker's
  //      own buffer (nothing of it outlives the event).
  thread_local EvidenceFrame evidenceFrame;
  const FrameCopyStatus copied = copyEvidenceFrame(store, frame, evidenceFrame);
  if (copied != FrameCopyStatus::Copied) {
    reportFrameCopy(copied, plate);
    return kNoEvidenceFrame;
  }
  cv::Mat grey = evidenceFrame.grey();

  // 5-6. Geometry; the plate picture before brightening.
  const kovira::TrackPoint& point = track.getPoint(frame);
  const EvidenceGeometry g = evidenceGeometry(point, grey.cols, grey.rows);
  cv::Mat platePicture;
  if (g.plateCrop.width > 0 && g.plateCrop.height > 0)
    platePicture = grey(cv::Rect(g.plateCrop.x, g.plateCrop.y, g.plateCrop.width, g.plateCrop.height)).clone();

  // 7-8. Brightened frame in a one-photo collage with the marked corners.
  (void)miraclefunc(grey);
  if (module.colourPhoto) cv::cvtColor(grey, grey, cv::COLOR_GRAY2BGR);
  Collage collage(module.collage, s.imgw, s.imgh);
  CollageImage picture(grey);
  for (int i = 0; i < 3; ++i) picture.setCoord(i + 1, g.markX[i], g.markY[i]);

  // 9. Overlays.
  if (module.redbox && s.feature("redbox")) picture.DrawRect(g.plateBox.x, g.plateBox.y, g.plateBox.width, g.plateBox.height, kRed,
                                            kRedBoxThickness);
  if (module.crosshair && s.feature("crosshair"))
    picture.drawCrosshair(g.crossX, g.crossY, kCrosshairSize, kRed, kCrosshairThickness);

  // 10. Caption.
  LabelFormat label(s.label, evidenceFrame.sec);
  kovira::config().fillfmt(label);
  label.emplace("n", plate);
  if (values.caption) values.caption(label, evidenceFrame.usec);
  label.way(track.direction());
  picture.caption = strtoupper(label.text());

  // 11. The vehicle fills the cell.
  picture.Offset(g.vehicle.x, g.vehicle.y, g.vehicle.width, g.vehicle.height);
  picture.fill = true;
  collage.Place(picture, 1);
  // Three-photo layouts: the first and last measured frames, copied and
  // checked like the evidence frame (the store's frames stay as they are).
  EvidenceFrame first, last;
  std::vector<std::unique_ptr<CollageImage>> more;
  if (module.collage == kThreePhotoCollage) {
    const std::array<std::pair<EvidenceFrame*, unsigned>, 2> frames = {
        std::pair{&first, values.firstFrame}, std::pair{&last, values.lastFrame}};
    more.reserve(frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
      const auto [copy, num] = frames[i];
      if (copyEvidenceFrame(store, num, *copy) != FrameCopyStatus::Copied) {
        consoleLine(std::string("collage num") + (i == 0 ? "A=" : "B=") + std::to_string(num) + " not found");
        return kNoEvidenceFrame;
      }
      cv::Mat photo = copy->grey();
      (void)miraclefunc(photo);
      cv::cvtColor(photo, photo, cv::COLOR_GRAY2BGR);
      CollageImage& item = *more.emplace_back(std::make_unique<CollageImage>(photo));
      item.fill = true;
      item.caption = strtoupper(format("фото %zu, время: ", i + 2) + framedate("%H:%M:%S", copy->sec, copy->usec));
    }
    for (std::size_t i = 0; i < more.size(); ++i) collage.Place(*more[i], static_cast<int>(i) + 2);
  }
  collage.Assemble(false);

  // 12. The passage exists from here on, whatever happens later.
  const std::uint32_t ticket = addwebticketId(std::string(module.type), plate);
  updateTicket(ticket, [&](ticket_t& t) {
    t.track = track.id;
    if (module.ticketClass) t.vclass = static_cast<std::uint32_t>(std::max(track.type(), 0));
    t.cnt = static_cast<std::uint32_t>(module.ticketPlateCount ? track.plateCount() : track.points.size());
    t.acc = track.advAccuracy();
    t.way = track.direction();
    t.speed = values.speed;
    if (module.alert) t.alert = 1;
    if (track.checkMask()) t.mask = 1;
    if (values.archive && values.highlight) t.highlight = 1;
  });

  // 13. Free space.
  if (diskfreespace(kFreeSpacePath) <= module.freeSpaceFloor) {
    consoleLine("[DBG] недостаточно пространства в /tmp");
    return kNoFreeSpace;
  }

  if (values.archive) {
    // 14-15. Id and the scratch copy of the collage.
    const std::string uid = genrandom32af();
    if (uid.size() != 32) throw std::runtime_error("no unique id from the random device");
    const std::string collageName = tempSave(collage.image, kCashedDir, "jpg");
    attachwebcopy(ticket, ScratchCopy::Collage, collageName);

    // 16. Pictures.
    Tar tar;
    SimpleFile mjpg = jpeg(collage.image, s.quality, "collage");
    addMember(tar, "m.jpg", mjpg.bytes(), mjpg.size);
    if (module.platePicture != Member::Never && !platePicture.empty()) {
      // An empty crop (plate outside the picture) has nothing to show.
      const SimpleFile pj = jpeg(platePicture, kPlateJpegQuality, "plate picture");
      addMember(tar, "plate.jpg", pj.bytes(), pj.size);
    }
    if (s.wants(module.fullFrame, "fullframe")) {
      const SimpleFile big = jpeg(grey, s.quality, "full frame");
      addMember(tar, "big.jpg", big.bytes(), big.size);
    }

    // 17-19. Report, its signature over the report followed by the
    // collage, and the metadata (before the report in the car-flow order).
    const auto addMetadata = [&] {
      const std::string meta = metadataText(module, s, track, plate, uid, evidenceFrame.sec, values);
      addMember(tar, "kovira.json", meta.data(), meta.size());
    };
    if (module.metadataFirst) addMetadata();
    if (module.report != ReportKind::None) {
      XmlReport report = buildReport(module, s, track, plate, uid, evidenceFrame.sec, mjpg.size, values, collage);
      addMember(tar, "angel.xml", report.data(), report.size());
      if (s.wants(module.signature, "angelsign")) {
        SimpleFile signedBytes;
        signedBytes.append(report.data(), report.size());
        signedBytes.append(mjpg.bytes(), mjpg.size);
        signAngelMe(s.signkey, tar, signedBytes);
      }
    }
    if (!module.metadataFirst) addMetadata();

    // 20-21. Storing, and the scratch copy of the archive.
    SimpleFile archive = tar.take();
    procTrackRes(action, archive);
    const std::string tarName = tempSave(archive.bytes(), archive.size, kCashedDir, "tar");
    attachwebcopy(ticket, ScratchCopy::Tar, tarName);
  }

  // 22. Debug picture. The evidence is stored by now: whatever goes wrong
  // here costs the ticket its second picture, never the event its result.
  try {
    cv::Mat debugPicture = grey;
    if (debug_imgtrack(s.camid, frame, debugPicture, track)) {
      std::string name;
      if (module.debugQuality == 0) {
        name = tempSave(debugPicture, kCashedDir, "jpg");
      } else {
        const SimpleFile encoded = jpeg(debugPicture, module.debugQuality, "debug picture");
        name = tempSave(encoded.bytes(), encoded.size, kCashedDir, "jpg");
      }
      attachwebcopy(ticket, ScratchCopy::Frame, name);
    }
  } catch (const std::exception& e) {
    consoleLine("[ERR] debug picture (" + std::string(module.name) + ") " + plate + ": " + e.what());
  } catch (...) {
    consoleLine("[ERR] debug picture (" + std::string(module.name) + ") " + plate + ": unknown failure");
  }
  return kEvidenceStored;
}

}  // namespace

int truncatedSpeed(float kmh) {
  if (!std::isfinite(kmh) || std::fabs(kmh) >= 2147483520.0f) return 0;
  return static_cast<int>(kmh);
}

const ModuleSettings* moduleSettings(std::string_view module) {
  for (const ModuleSettings& m : kModules)
    if (m.name == module) return &m;
  return nullptr;
}

int checkEvidenceFrame(const kovira::Track& track, unsigned frame) {
  try {
    int camid = 0;
    {
      kovira::ConfigReadLock lock;
      camid = kovira::zone(static_cast<int>(track.zone)).camid;
    }
    const kovira::CamBuf* store = kovira::storeOf(camid);
    if (store != nullptr && framePresent(*store, frame)) return 0;
  } catch (const std::exception&) {
    // An unknown zone or camera holds no frame either.
  }
  reportFrameCopy(FrameCopyStatus::Gone, track.text());
  return kNoEvidenceFrame;
}

int composeEvidence(const ModuleSettings& module, kovira::Track& track, kovira::Action& action, unsigned frame,
                    const EventValues& values) {
  try {
    return compose(module, track, action, frame, values);
  } catch (const std::exception& e) {
    consoleLine("[ERR] evidence (" + std::string(module.name) + ") " + track.text() + ": " + e.what());
  } catch (...) {
    consoleLine("[ERR] evidence (" + std::string(module.name) + ") " + track.text() + ": unknown failure");
  }
  return kNoEvidenceFrame;
}

}  // namespace evidence
