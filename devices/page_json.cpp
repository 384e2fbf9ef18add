#include "devices/page_json.h"

#include "http/response.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <sstream>

void answerFlatJson(HttpResponse& res, std::initializer_list<std::pair<const char*, std::string>> fields) {
  boost::property_tree::ptree tree;
  for (const auto& [key, value] : fields) tree.put(key, value);
  std::ostringstream json;
  boost::property_tree::write_json(json, tree, true);
  res.headers["Content-Type"] = "application/json";
  res.body << json.str();
}
