/*
 * The recogniser library's result record (libcnn.so): one plate reading.
 * Apart from cnn.h so that the frame records that store readings need not
 * see the library's functions. C and C++.
 */
#ifndef KOVIRA_PLATFORM_CNN_RESULT_H
#define KOVIRA_PLATFORM_CNN_RESULT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One plate reading, 56 bytes, little-endian, no padding. */
typedef struct CNN_RESULT {
  uint32_t index;   /* frame within the frames given to cnn, 0-based */
  uint32_t zoneid;  /* first number of the polygon description that produced it */
  char text[20];    /* plate text, NUL-terminated; '?' for an unreadable glyph */
  int32_t cls;      /* vehicle class; below 1: no class */
  int32_t x;        /* plate rectangle, frame pixels */
  int32_t y;
  int32_t w;
  int32_t h;
  int32_t ox;       /* tracking point (plate centre) */
  int32_t oy;
} CNN_RESULT;

#ifdef __cplusplus
#define CNN_STATIC_ASSERT static_assert
#else
#define CNN_STATIC_ASSERT _Static_assert
#endif
CNN_STATIC_ASSERT(sizeof(CNN_RESULT) == 56, "CNN_RESULT is 56 bytes");
CNN_STATIC_ASSERT(offsetof(CNN_RESULT, index) == 0, "index at 0");
CNN_STATIC_ASSERT(offsetof(CNN_RESULT, zoneid) == 4, "zone id at 4");
CNN_STATIC_ASSERT(offsetof(CNN_RESULT, text) == 8, "text at 8");
CNN_STATIC_ASSERT(offsetof(CNN_RESULT, cls) == 28, "class at 28");
CNN_STATIC_ASSERT(offsetof(CNN_RESULT, x) == 32, "x at 32");
CNN_STATIC_ASSERT(offsetof(CNN_RESULT, y) == 36, "y at 36");
CNN_STATIC_ASSERT(offsetof(CNN_RESULT, w) == 40, "w at 40");
CNN_STATIC_ASSERT(offsetof(CNN_RESULT, h) == 44, "h at 44");
CNN_STATIC_ASSERT(offsetof(CNN_RESULT, ox) == 48, "ox at 48");
CNN_STATIC_ASSERT(offsetof(CNN_RESULT, oy) == 52, "oy at 52");
#undef CNN_STATIC_ASSERT

#ifdef __cplusplus
}
#endif

#endif
