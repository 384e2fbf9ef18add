// Named run-time values shared between modules that have no section of their
// own (the lens page's "lensfocus"/"lensiris", the GNSS page's "gnss" and
// "gnsstm"). An entry is created with its default on first access and lives
// until the process ends; map nodes never move, so the returned reference
// stays valid. Lookup and insertion are guarded; the value behind the
// reference belongs to the module that uses it.
#pragma once

#include <boost/any.hpp>

#include <map>
#include <string>

namespace kovira {

// The registry itself; use getGlobalVal rather than touching it directly.
std::map<std::string, boost::any>& _globals();

// The value stored under name, inserted as def when absent. Throws
// boost::bad_any_cast when the name holds another type. Instantiated for
// int, unsigned int and std::string.
template <class T>
T& getGlobalVal(const std::string& name, const T& def);

extern template int& getGlobalVal<int>(const std::string&, const int&);
extern template unsigned int& getGlobalVal<unsigned int>(const std::string&, const unsigned int&);
extern template std::string& getGlobalVal<std::string>(const std::string&, const std::string&);

}  // namespace kovira
