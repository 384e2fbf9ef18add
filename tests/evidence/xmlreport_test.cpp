#include "evidence/xmlreport.h"
#include "tests/evidence/shell_helpers.h"

#include <gtest/gtest.h>

#include <string>

namespace {

XmlReport fullReport() {
  XmlReport r;
  XmlDeviceFields device;
  device.verifyNum = "C-RU.ПБ.1234";
  device.verifyExp = "31.12.2030";
  device.certNum = "77-4321";
  device.certExp = "01.06.2029";
  device.serial = "KV0042";
  device.locationCode = "4501";
  device.address = "ул. Ленина, 5 <km 12 & 300 m>";
  device.deviceName = "Kovira-3";
  device.manufacturer = "Kovira \"Lab\"";
  r.set(device);
  r.set("tTargetGlobalUID", "0123456789abcdef0123456789abcdef");
  r.set<unsigned int>("nDatetime", 1700000000u);
  const std::pair<const char*, int> numbers[] = {
      {"nTZOffset", 180},        {"nDirection", 1},        {"nRadarPresent", 0},      {"nDisplaySpeed", 87},
      {"nImagePresent", 1},      {"nSize", 123456},        {"nImageWidth", 960},      {"nImageHeight", 600},
      {"nTargetRectX", 410},     {"nTargetRectY", 300},    {"nTargetRectWidth", 120}, {"nTargetRectHeight", 30},
      {"nChannel", 1}};
  for (const auto& [key, value] : numbers) r.set<int>(key, value);
  const std::pair<const char*, const char*> texts[] = {
      {"tVACity", "Москва"}, {"tVACityArea", "ЦАО"}, {"tVAHouse", "5"}, {"tVAStateCode", "77"}, {"tVAStreet", "Ленина"}};
  for (const auto& [key, value] : texts) r.set(key, value);
  const std::pair<const char*, int> more[] = {{"nSpeedThreshold", 60}, {"nSpeedThreshold1", 80}};
  for (const auto& [key, value] : more) r.set<int>(key, value);
  r.set("tGpsPos", "55.7558, 37.6173");
  r.set<int>("nSpeedMeasuringError", 2);
  r.set("tLicenseNumber", "A123BC77");
  const std::pair<const char*, int> last[] = {{"nRectNumX1", 470}, {"nRectNumY1", 315}, {"nRectNumX2", 410},
                                              {"nRectNumY2", 300}, {"nRectNumX3", 530}, {"nRectNumY3", 330},
                                              {"nWrongDirection", 0}, {"nWrongLine", 0}, {"nOverSpeed", 1}};
  for (const auto& [key, value] : last) r.set<int>(key, value);
  return r;
}

}  // namespace

// The golden file was produced once with Debian's Boost and checked by hand:
// declaration, TAB indentation, byte-wise key order, escaped specials.
TEST(XmlReport, FullReportMatchesTheGoldenFileAndIsWellFormed) {
  XmlReport r = fullReport();
  const std::string xml(r.data(), r.size());
  const std::string golden = evtest::readBytes(std::string(KOVIRA_SOURCE_DIR) + "/tests/evidence/golden/angel.xml");
  EXPECT_EQ(xml, golden);
  EXPECT_STREQ(r.name(), "0123456789abcdef0123456789abcdef.xml");

  evtest::ScratchDir dir("xml");
  evtest::writeBytes(dir.file("angel.xml"), xml);
  const auto lint = evtest::run("xmllint --noout " + dir.file("angel.xml"));
  EXPECT_EQ(lint.status, 0) << lint.output;
  EXPECT_EQ(lint.output, "");
}

TEST(XmlReport, EmptyReportHasTheDeclarationAndAnEmptyTargetinfo) {
  XmlReport r;
  EXPECT_EQ(std::string(r.data()),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<report>\n\t<targetinfo/>\n</report>\n");
}

TEST(XmlReport, RefusedKeysChangeNothingAndLastValueWins) {
  XmlReport r;
  r.set<int>("nSize", -5);
  const std::string before = r.data();
  EXPECT_FALSE(r.set("nBogus", "1"));
  EXPECT_EQ(std::string(r.data()), before);
  EXPECT_NE(before.find("<nSize>-5</nSize>"), std::string::npos);
  r.set<unsigned int>("nSize", 4294967295u);
  const std::string after = r.data();
  EXPECT_NE(after.find("<nSize>4294967295</nSize>"), std::string::npos);
  EXPECT_EQ(after.find("-5"), std::string::npos);
}

TEST(XmlReport, DeviceFieldsSkipAnEmptyManufacturerButKeepEmptyValues) {
  XmlReport r;
  XmlDeviceFields device;
  device.serial = "S1";
  r.set(device);
  const std::string xml = r.data();
  EXPECT_EQ(xml.find("CamMadeBy"), std::string::npos);
  EXPECT_NE(xml.find("<tCertificateNumber/>"), std::string::npos);
  EXPECT_NE(xml.find("<tDeviceSerial>S1</tDeviceSerial>"), std::string::npos);
}

TEST(XmlReport, RendersOnceUntilAFieldChanges) {
  XmlReport r;
  r.set("tGpsPos", "1, 2");
  const char* first = r.data();
  EXPECT_EQ(r.data(), first);  // same text, not rendered again
  EXPECT_NE(std::string(first).find("<tGpsPos>(1, 2)</tGpsPos>"), std::string::npos);
}
