// ConfigSketch: a module's own section of the configuration file (the Basler
// camera "usbcam", the recognition stage "cnnconf", the tilt monitor "angle",
// the sibling-program integration "tolvek"). A module registers its object
// once with attachConfig(name, *this); sections of that type read before the
// registration are handed to fromjson at that moment.
//
// Lifetime: the object stays attached until it calls detachConfig (or for the
// whole process); the store never deletes it.
// Threading: the store calls fromjson with the configuration write lock held
// and tojson with at least the read lock held (config/config_lock.h); a
// module that shares the values with its own threads synchronises them.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <string>

class ConfigSketch {
 public:
  // Writes the section into `section`, which arrives as null. Mode 0: what
  // the file needs; mode 1: everything. Leaving it null (or an empty object)
  // leaves the section out of the file.
  virtual void tojson(nlohmann::json& section, int mode) = 0;
  // Reads the section; absent keys leave the module's values unchanged.
  // A value it cannot take from the file is kept at its old value with a
  // "[WARNING] " line.
  virtual void fromjson(const nlohmann::json& section) = 0;
  // For an operator's edit, before fromjson: "error: <key>: <reason>\n" of
  // the first value fromjson would not take, "" when it takes them all (so
  // the edit is applied whole or not at all). Called with the configuration
  // lock held. The store also asks it of every section read from the file:
  // a refused value there keeps a reload from rewriting the operator's
  // file. The default takes everything.
  virtual std::string check(const nlohmann::json& section) const;

  // The store never deletes a sketch; virtual only so that implementations
  // compile cleanly with -Wnon-virtual-dtor.
  virtual ~ConfigSketch() = default;
};

// Registers `sketch` under the section type `name` with kovira::config().
// Throws std::logic_error "config: NAME is already attached".
void attachConfig(const std::string& name, ConfigSketch& sketch);
// Undoes attachConfig; an object that ends before the process calls it from
// its destructor.
void detachConfig(const std::string& name, const ConfigSketch& sketch);
