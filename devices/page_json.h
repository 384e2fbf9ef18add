// The small JSON answers of the device pages: flat string-valued objects in
// the property-tree writer's pretty layout (numbers appear as strings), as
// the pages' callers expect byte for byte.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>

class HttpResponse;

// Writes {"key": "value", ...} with "Content-Type" application/json.
void answerFlatJson(HttpResponse& res, std::initializer_list<std::pair<const char*, std::string>> fields);
