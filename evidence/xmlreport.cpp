#include "evidence/xmlreport.h"

#include "config/xml_text.h"
#include "core/text.h"
#include "evidence/platetext.h"

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include <algorithm>
#include <sstream>
#include <stdexcept>

namespace {

const char* const kRoot = "report.targetinfo";

}  // namespace

const std::vector<std::string>& XmlReport::allowedFields() {
  static const std::vector<std::string> fields = {
      "tTargetGlobalUID", "nDatetime", "nTZOffset", "nDirection", "nRadarPresent", "nDisplaySpeed",
      "nImagePresent", "nSize", "nImageWidth", "nImageHeight", "nTargetRectX", "nTargetRectY",
      "nTargetRectWidth", "nTargetRectHeight", "nChannel", "tCertificateNumber", "tCertificateExpDate",
      "tApprovalCertificateNumber", "tApprovalCertificateExpDate", "tDeviceSerial", "tRadarName",
      "tSensorName", "CamMadeBy", "tVACity", "tVACityArea", "tVAHouse", "tVAStateCode", "tVAStreet",
      "tLocationCode", "nSpeedThreshold", "nSpeedThreshold1", "tGpsPos", "nSpeedMeasuringError",
      "tLicenseNumber", "nRectNumX1", "nRectNumY1", "nRectNumX2", "nRectNumY2", "nRectNumX3",
      "nRectNumY3", "nWrongDirection", "nWrongLine", "nOverSpeed"};
  return fields;
}

XmlReport::XmlReport() = default;

XmlReport::XmlReport(std::string name) : name_(std::move(name)) {}

bool XmlReport::set(const std::string& key, const std::string& text) {
  const auto& allowed = allowedFields();
  if (std::find(allowed.begin(), allowed.end(), key) == allowed.end()) return false;
  dirty_ = true;
  // The last guard: a character XML 1.0 cannot carry makes the whole report
  // unreadable, whatever path the text came by. Texts taken in from the
  // configuration lost them already, with a warning.
  std::string value = text;
  kovira::dropXmlForbidden(value);
  if (key == "tLicenseNumber") {
    std::string plate = value;
    convertLicenseNumberRUS(plate);
    values_[key] = std::move(plate);
  } else if (key == "tGpsPos") {
    values_[key] = "(" + value + ")";
  } else {
    if (key == "tTargetGlobalUID") name_ = value + ".xml";
    values_[key] = value;
  }
  return true;
}

bool XmlReport::set(const std::string& key, const char* value) {
  if (!value) throw std::logic_error("XmlReport::set: null text");
  return set(key, std::string(value));
}

template <>
bool XmlReport::set<int>(const std::string& key, const int& value) {
  return set(key, format("%d", value));
}

template <>
bool XmlReport::set<unsigned int>(const std::string& key, const unsigned int& value) {
  return set(key, format("%u", value));
}

template <>
bool XmlReport::set<XmlDeviceFields>(const XmlDeviceFields& f) {
  set("tCertificateNumber", f.verifyNum);
  set("tCertificateExpDate", f.verifyExp);
  set("tApprovalCertificateNumber", f.certNum);
  set("tApprovalCertificateExpDate", f.certExp);
  set("tDeviceSerial", f.serial);
  set("tLocationCode", f.locationCode);
  set("tSensorName", f.address);
  set("tRadarName", f.deviceName);
  if (!f.manufacturer.empty()) set("CamMadeBy", f.manufacturer);
  return true;
}

void XmlReport::generate() {
  namespace pt = boost::property_tree;
  pt::ptree tree;
  tree.put(kRoot, "");
  pt::ptree& info = tree.get_child(kRoot);
  for (const auto& [key, value] : values_) {
    // Keys never hold '.', so a path of one element is the key itself.
    info.put(pt::ptree::path_type(key, '\0'), value);
  }
  std::ostringstream out;
  pt::write_xml(out, tree, pt::xml_writer_make_settings<std::string>('\t', 1, "utf-8"));
  xml_ = out.str();
  dirty_ = false;
}

const char* XmlReport::data() {
  if (dirty_) generate();
  return xml_.c_str();
}

std::size_t XmlReport::size() {
  if (dirty_) generate();
  return xml_.size();
}
