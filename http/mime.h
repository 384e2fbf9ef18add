// MIME types of the server by file extension (lower case), and the types
// whose bodies may be gzipped. Immutable tables, safe from any thread.
#pragma once

#include <map>
#include <string>
#include <vector>

// Extension -> type; the key "default" holds the fallback type.
const std::map<std::string, std::string>& mimeTypes();
// In the order they are tested against a Content-Type value.
const std::vector<std::string>& compressibleTypes();
