// Files compiled into the program, looked up by name. Constant data, shared
// by every thread.
#pragma once

#include <cstddef>
#include <cstdint>

struct EmbeddedFile {
  const char* name;  // null ends the table
  const char* data;  // NUL-terminated
  std::uint64_t size;  // without the NUL
};

extern const EmbeddedFile embedded_files[];

// The file's bytes (and, when size is not null, its size); null when there
// is no file of that name.
const char* find_embedded_file(const char* name, std::size_t* size);
const char* find_embedded_file(const char* name);
