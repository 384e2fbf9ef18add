// The industrial USB3 camera library as the unit calls it: a C-style
// interface in which every call returns a status (0 is success) and camera
// features are nodes addressed by name. On the board this is the camera
// vendor's library; here a stand-in (usb3cam.cpp) simulates 0 or 1 camera
// that renders road scenes, driven by platform/usb3cam/control.h.
//
// Threading: calls are serialised by one library-wide mutex; a wait on a
// wait object releases it while it waits. Handles stay valid until they are
// destroyed; a call on a destroyed or null handle fails and is counted.
#pragma once

#include <cstddef>
#include <cstdint>

using PylonStatus = long;
inline constexpr PylonStatus kPylonOk = 0;
inline constexpr PylonStatus kPylonError = 0x80000001;  // any failure
inline constexpr PylonStatus kPylonInvalidHandle = 0x80000002;
inline constexpr PylonStatus kPylonTimeout = 0x80000003;

struct PylonDeviceS;
struct PylonGrabberS;
struct PylonWaitS;
struct PylonParserS;
struct PylonBufferS;
using PylonDeviceHandle = PylonDeviceS*;
using PylonGrabberHandle = PylonGrabberS*;
using PylonWaitHandle = PylonWaitS*;
using PylonParserHandle = PylonParserS*;
using PylonBufferHandle = PylonBufferS*;

// Access mode of PylonDeviceOpen: control plus stream.
inline constexpr int kPylonAccessControlStream = 3;
// Grab result status and payload type values the unit tests.
inline constexpr int kPylonGrabSucceeded = 2;
inline constexpr int kPylonGrabFailed = 4;
inline constexpr int kPylonPayloadImage = 1;
inline constexpr int kPylonPayloadChunkData = 3;

struct PylonGrabResult {
  const void* context = nullptr;
  PylonBufferHandle buffer = nullptr;
  const void* data = nullptr;
  int status = 0;
  int payloadType = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::size_t payloadSize = 0;
};

PylonStatus PylonInitialize();
PylonStatus PylonTerminate();
PylonStatus PylonEnumerateDevices(std::size_t* count);
PylonStatus PylonCreateDeviceByIndex(std::size_t index, PylonDeviceHandle* device);
PylonStatus PylonDeviceOpen(PylonDeviceHandle device, int accessMode);
PylonStatus PylonDeviceClose(PylonDeviceHandle device);
PylonStatus PylonDestroyDevice(PylonDeviceHandle device);

bool PylonDeviceFeatureIsReadable(PylonDeviceHandle device, const char* name);
bool PylonDeviceFeatureIsAvailable(PylonDeviceHandle device, const char* name);
bool PylonDeviceFeatureIsWritable(PylonDeviceHandle device, const char* name);
// len: the buffer's size in, the text's length (with its terminating zero) out.
PylonStatus PylonDeviceFeatureToString(PylonDeviceHandle device, const char* name, char* buffer, std::size_t* len);
PylonStatus PylonDeviceFeatureFromString(PylonDeviceHandle device, const char* name, const char* value);
PylonStatus PylonDeviceSetBooleanFeature(PylonDeviceHandle device, const char* name, bool value);
PylonStatus PylonDeviceSetFloatFeature(PylonDeviceHandle device, const char* name, double value);
PylonStatus PylonDeviceExecuteCommandFeature(PylonDeviceHandle device, const char* name);
PylonStatus PylonDeviceGetFloatFeature(PylonDeviceHandle device, const char* name, double* value);
PylonStatus PylonDeviceGetFloatFeatureMin(PylonDeviceHandle device, const char* name, double* value);
PylonStatus PylonDeviceGetFloatFeatureMax(PylonDeviceHandle device, const char* name, double* value);
PylonStatus PylonDeviceGetIntegerFeature(PylonDeviceHandle device, const char* name, std::int64_t* value);
PylonStatus PylonDeviceGetIntegerFeatureInt32(PylonDeviceHandle device, const char* name, std::int32_t* value);

PylonStatus PylonDeviceCreateChunkParser(PylonDeviceHandle device, PylonParserHandle* parser);
PylonStatus PylonDeviceDestroyChunkParser(PylonDeviceHandle device, PylonParserHandle parser);
PylonStatus PylonChunkParserAttachBuffer(PylonParserHandle parser, const void* data, std::size_t size);
PylonStatus PylonChunkParserDetachBuffer(PylonParserHandle parser);
// Chunk features of the attached buffer ("ChunkTimestamp", "ChunkGain",
// "ChunkExposureTime"), read through the device as other features.

PylonStatus PylonDeviceGetNumStreamGrabberChannels(PylonDeviceHandle device, std::size_t* channels);
PylonStatus PylonDeviceGetStreamGrabber(PylonDeviceHandle device, std::size_t channel, PylonGrabberHandle* grabber);
PylonStatus PylonStreamGrabberOpen(PylonGrabberHandle grabber);
PylonStatus PylonStreamGrabberClose(PylonGrabberHandle grabber);
PylonStatus PylonStreamGrabberGetWaitObject(PylonGrabberHandle grabber, PylonWaitHandle* wait);
PylonStatus PylonStreamGrabberSetMaxNumBuffer(PylonGrabberHandle grabber, std::size_t count);
PylonStatus PylonStreamGrabberSetMaxBufferSize(PylonGrabberHandle grabber, std::size_t size);
PylonStatus PylonStreamGrabberPrepareGrab(PylonGrabberHandle grabber);
PylonStatus PylonStreamGrabberRegisterBuffer(PylonGrabberHandle grabber, void* memory, std::size_t size,
                                             PylonBufferHandle* buffer);
PylonStatus PylonStreamGrabberDeregisterBuffer(PylonGrabberHandle grabber, PylonBufferHandle buffer);
PylonStatus PylonStreamGrabberQueueBuffer(PylonGrabberHandle grabber, PylonBufferHandle buffer, const void* context);
PylonStatus PylonStreamGrabberRetrieveResult(PylonGrabberHandle grabber, PylonGrabResult* result, bool* ready);
PylonStatus PylonStreamGrabberCancelGrab(PylonGrabberHandle grabber);
PylonStatus PylonStreamGrabberFinishGrab(PylonGrabberHandle grabber);
PylonStatus PylonWaitObjectWait(PylonWaitHandle wait, unsigned timeoutMs, bool* ready);

// Text of the last error; a null buffer asks only for the length (with the
// terminating zero).
PylonStatus GenApiGetLastErrorMessage(char* buffer, std::size_t* len);
PylonStatus GenApiGetLastErrorDetail(char* buffer, std::size_t* len);
