// XmlReport's device fields taken from the configuration store.
#include "config/config.h"
#include "config/config_lock.h"
#include "evidence/xmlreport.h"

template <>
bool XmlReport::set<kovira::GlobalConfig>(const kovira::GlobalConfig& cfg) {
  XmlDeviceFields fields;
  {
    // One consistent copy while a page may be editing the global section.
    kovira::ConfigReadLock lock;
    fields.verifyNum = cfg.verifyNum();
    fields.verifyExp = cfg.verifyExp();
    fields.certNum = cfg.certNum();
    fields.certExp = cfg.certExp();
    fields.serial = cfg.serial;
    fields.locationCode = cfg.codeloc;
    fields.address = cfg.address;
    fields.deviceName = cfg.devname;
    fields.manufacturer = cfg.manufacturer;
  }
  return set(fields);
}
