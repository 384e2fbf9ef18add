// The plate recogniser library as the recognition stage calls it: its five
// entry points in a small table. The unit uses libcnnLibrary() (libcnn.so,
// linked like the board's library); tests hand CnnProc a scripted table.
//
// Threading: the table itself is immutable once built; the handle it
// creates is used by the recognition thread only.
#pragma once

#include "platform/cnn/cnn_result.h"

#include <functional>

namespace kovira {

struct CnnLibrary {
  // Version text; the stage asks once and does not use it.
  std::function<const char*()> version;
  // (maxproc, height, width, descriptions, count, mode) -> handle; null on
  // failure. Note height before width.
  std::function<void*(int, int, int, char**, int, int)> init;
  std::function<void(void*, int)> setDebugLevel;
  // (handle, results, count in/out, frames, nframes, width, height, depth,
  // descriptions, ndescriptions) -> walked frames, negative on error.
  std::function<int(void*, CNN_RESULT*, int*, void**, int, int, int, int, char**, int)> run;
  std::function<void(void*)> release;
};

// The table over libcnn.so.
const CnnLibrary& libcnnLibrary();

}  // namespace kovira
