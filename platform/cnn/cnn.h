/*
 * Plate recogniser library interface (libcnn.so). This is our stand-in for
 * the board's closed recogniser: the same five C functions and the same
 * result record, so the unit links it as it links the real library and a
 * board build swaps the file.
 *
 * Threading: one handle is used by one thread at a time; different handles
 * are independent. A handle lives from init_cnn to free_cnn.
 */
#ifndef KOVIRA_PLATFORM_CNN_H
#define KOVIRA_PLATFORM_CNN_H

#include "platform/cnn/cnn_result.h"

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CNN_EXPORT __attribute__((visibility("default")))

/* At most this many results are written by one call, whatever the capacity:
 * a result count of 512 after a call therefore always means "not written". */
#define CNN_MAX_RESULTS 511

/* init_cnn modes: vehicle classes are read in CNN_MODE_CLASSIFY only. */
#define CNN_MODE_PLATES 2
#define CNN_MODE_CLASSIFY 6

/* Version text of the library. */
CNN_EXPORT const char* cnn_version(void);

/* Creates a recogniser for frames of width x height pixels (note the order:
 * height first; the stand-in needs no buffers, so cnn also takes other
 * sizes) and the polygon descriptions
 * "zoneid,scale,x1,y1,x2,y2,..." (at least three points). Descriptions that
 * do not parse are left out; when none parses the result is NULL. maxproc is
 * kept but does not change the work. */
CNN_EXPORT void* init_cnn(int maxproc, int height, int width, char** polygons, int count, int mode);

/* Level 0 is quiet; from 1 on every reading is printed to standard error. */
CNN_EXPORT void cnn_set_debug_level(void* handle, int level);

/* Reads the plates of nframes 8-bit grey frames of width x height pixels
 * (rows width bytes apart; depth must be 1 byte a pixel) whose tracking
 * point lies inside one of the call's polygons, one reading per plate and
 * zone. On entry *count is the capacity of results; on return it holds the
 * number of records written, at most min(capacity, CNN_MAX_RESULTS), also
 * when it is 0. Returns the number of frames walked: all of them, or fewer
 * when the results of the next frame would no longer fit (its readings are
 * then not written, so the caller can hand that frame in again); at least
 * one frame is walked, keeping as many of its readings as fit.
 * Returns -1 for a NULL handle or a bad argument (count untouched then). */
CNN_EXPORT int cnn(void* handle, CNN_RESULT* results, int* count, void** frames, int nframes,
                   int width, int height, int depth, char** polygons, int npolygons);

/* Releases a handle; NULL is ignored. */
CNN_EXPORT void free_cnn(void* handle);

#ifdef __cplusplus
}
#endif

#endif /* KOVIRA_PLATFORM_CNN_H */
