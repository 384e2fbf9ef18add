/* One plate reading of the plate recogniser library: the array element that
 * the recogniser fills for every plate it reads in a submitted batch. The
 * layout is the library's binary interface (little-endian, no padding), so
 * this stays a plain C-compatible struct; frame records keep these readings
 * as they came. */
#ifndef KOVIRA_RECOGNITION_CNN_RESULT_H
#define KOVIRA_RECOGNITION_CNN_RESULT_H

#include <stddef.h>
#include <stdint.h>

typedef struct CNN_RESULT {
  uint32_t index;   /* frame's index within the batch handed to cnn(), 0-based */
  uint32_t zoneid;  /* zone whose polygon produced the reading */
  char text[20];    /* plate text, NUL-terminated; empty: no text read */
  int32_t vclass;   /* vehicle class; below 1 means no class */
  int32_t x;        /* plate rectangle in frame pixels */
  int32_t y;
  int32_t w;
  int32_t h;
  int32_t ox;       /* tracking point */
  int32_t oy;
} CNN_RESULT;

#ifdef __cplusplus
static_assert(sizeof(CNN_RESULT) == 56, "CNN_RESULT is 56 bytes");
static_assert(offsetof(CNN_RESULT, index) == 0);
static_assert(offsetof(CNN_RESULT, zoneid) == 4);
static_assert(offsetof(CNN_RESULT, text) == 8);
static_assert(offsetof(CNN_RESULT, vclass) == 28);
static_assert(offsetof(CNN_RESULT, x) == 32);
static_assert(offsetof(CNN_RESULT, y) == 36);
static_assert(offsetof(CNN_RESULT, w) == 40);
static_assert(offsetof(CNN_RESULT, h) == 44);
static_assert(offsetof(CNN_RESULT, ox) == 48);
static_assert(offsetof(CNN_RESULT, oy) == 52);
#else
_Static_assert(sizeof(CNN_RESULT) == 56, "CNN_RESULT is 56 bytes");
_Static_assert(offsetof(CNN_RESULT, text) == 8, "text at 8");
_Static_assert(offsetof(CNN_RESULT, oy) == 52, "oy at 52");
#endif

#endif
