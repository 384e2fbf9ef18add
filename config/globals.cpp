#include "config/globals.h"

#include <mutex>

namespace kovira {

namespace {
std::mutex& globalsMutex() {
  static std::mutex mutex;
  return mutex;
}
}  // namespace

std::map<std::string, boost::any>& _globals() {
  static std::map<std::string, boost::any> values;
  return values;
}

template <class T>
T& getGlobalVal(const std::string& name, const T& def) {
  std::lock_guard<std::mutex> lock(globalsMutex());
  auto& values = _globals();
  auto it = values.find(name);
  if (it == values.end()) it = values.emplace(name, boost::any(def)).first;
  T* value = boost::any_cast<T>(&it->second);
  if (value == nullptr) throw boost::bad_any_cast();
  return *value;
}

template int& getGlobalVal<int>(const std::string&, const int&);
template unsigned int& getGlobalVal<unsigned int>(const std::string&, const unsigned int&);
template std::string& getGlobalVal<std::string>(const std::string&, const std::string&);

}  // namespace kovira
