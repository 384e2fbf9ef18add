#include "recognition/cnn_library.h"

// The library's own header spells the result record with its field names;
// this file declares the entry points against our record instead. Both
// headers pin the same 56-byte layout with static_asserts, so the two
// spellings cannot drift apart unnoticed.
extern "C" {
const char* cnn_version(void);
void* init_cnn(int maxproc, int height, int width, char** polygons, int count, int mode);
void cnn_set_debug_level(void* handle, int level);
int cnn(void* handle, CNN_RESULT* results, int* count, void** frames, int nframes, int width, int height,
        int depth, char** polygons, int npolygons);
void free_cnn(void* handle);
}

namespace kovira {

const CnnLibrary& libcnnLibrary() {
  static const CnnLibrary table{cnn_version, init_cnn, cnn_set_debug_level, cnn, free_cnn};
  return table;
}

}  // namespace kovira
