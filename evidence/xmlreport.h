// XmlReport: the machine-readable violation report ("angel.xml").
//
// Fields are set one by one and kept only when their name is allow-listed;
// the document lists them in byte-wise ascending name order under
// report/targetinfo. One report belongs to one thread.
//
// The device fields of the configuration arrive through XmlDeviceFields;
// set<kovira::GlobalConfig> fills that record from the configuration store.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

// The configuration's device data as the report carries it.
struct XmlDeviceFields {
  std::string verifyNum;     // tCertificateNumber
  std::string verifyExp;     // tCertificateExpDate
  std::string certNum;       // tApprovalCertificateNumber
  std::string certExp;       // tApprovalCertificateExpDate
  std::string serial;        // tDeviceSerial
  std::string locationCode;  // tLocationCode
  std::string address;       // tSensorName
  std::string deviceName;    // tRadarName
  std::string manufacturer;  // CamMadeBy, only when not empty
};

class XmlReport {
 public:
  XmlReport();
  explicit XmlReport(std::string name);

  // False, and nothing changes, when key is not allow-listed. Characters
  // XML 1.0 cannot carry are dropped from value.
  bool set(const std::string& key, const std::string& value);
  bool set(const std::string& key, const char* value);
  // int ("%d") and unsigned int ("%u") are provided.
  template <class T>
  bool set(const std::string& key, const T& value);
  // Device data: XmlDeviceFields is provided (and kovira::GlobalConfig by
  // the configuration wiring, through it).
  template <class T>
  bool set(const T& source);

  const char* data();
  std::size_t size();
  const char* name() const { return name_.c_str(); }
  void generate();

  static const std::vector<std::string>& allowedFields();

 private:
  bool dirty_ = true;
  std::string xml_;
  std::string name_;
  std::map<std::string, std::string> values_;
};

template <>
bool XmlReport::set<int>(const std::string& key, const int& value);
template <>
bool XmlReport::set<unsigned int>(const std::string& key, const unsigned int& value);
template <>
bool XmlReport::set<XmlDeviceFields>(const XmlDeviceFields& fields);

namespace kovira {
class GlobalConfig;
}
// The device fields of the configuration (evidence/xmlreport_config.cpp).
template <>
bool XmlReport::set<kovira::GlobalConfig>(const kovira::GlobalConfig& cfg);
