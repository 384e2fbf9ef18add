// The unit's whole road on the demo scene as fast as it can take it: frames
// stored the way the file playback stores them, the decode stage, the
// recognition stage over libcnn.so, the result queue and the processing
// modules composing evidence. The anchor is the scene's own frame rate (what
// playback feeds in real time): the printed real-time factor is how many
// cameras of this kind the road could serve on this machine.
//
// The frames are rendered into memory first and stamped with the scene's
// own timeline (frame k at k / fps seconds), so the measured speeds, and
// with them the decisions, are those of a real-time run (bench/road_rig.h).
//
// With --usb3 the frames come from the USB3 camera stand-in, unpaced,
// rendered as they are grabbed, through the camera driver into the store
// (stamped by the camera's clock, which the speeds prefer).
//
// With --modules every processing module runs beside speed: one action of
// each method on the scene's zone, the feedback uploader armed for every
// vehicle (its server and the allow-list's come from /etc/kovira.conf; the
// track dumps go under $HOME). bench/road_bench.sh compares both runs.
//
// Usage: road_bench [--usb3] [--modules] [SCENE.json]   (bench/road_bench.sh runs it in a
// private namespace so the scratch copies of the evidence stay off the
// host's /tmp)
#include "bench/road_rig.h"
#include "capture/cam.h"
#include "capture/usbcam.h"
#include "capture/usbcam_config.h"
#include "platform/usb3cam/control.h"

#include <iostream>
#include <memory>
#include <string>

int main(int argc, char** argv) {
  const bool usb3 = argc > 1 && std::string(argv[1]) == "--usb3";
  if (usb3) --argc, ++argv;
  const bool modules = argc > 1 && std::string(argv[1]) == "--modules";
  if (modules) --argc, ++argv;
  const std::string scenePath = argc > 1 ? argv[1] : std::string(KOVIRA_SOURCE_DIR) + "/examples/demo-scene.json";
  roadrig::Road road;
  if (!road.open(scenePath, !usb3, modules)) return 1;
  const kovira::scenegen::Scene& scene = road.scene();
  const int camid = road.camid();
  road.start();

  std::unique_ptr<BaslerCamera> camera;
  if (usb3) {
    usb3cam::Options o;
    o.width = scene.width;
    o.height = scene.height;
    o.pacing = usb3cam::Pacing::kUnpaced;
    o.sceneJson = road.sceneText();
    usb3cam::reset(o);
    camera = std::make_unique<BaslerCamera>(baslerConfig());
    if (!camera->open()) {
      std::cerr << "road_bench: the camera stand-in did not open\n";
      return 1;
    }
  }
  const BaslerCamera::Callback place = [camid](int w, int h, unsigned char* data, unsigned long size, unsigned e,
                                               unsigned g, long ts) {
    usbframeplace_basler(camid, w, h, data, size, e, g, ts);
  };

  for (int k = 0; k < scene.frameCount(); ++k) {
    if (!usb3) {
      road.feed(k);
      continue;
    }
    if (camera->grab(place) <= 0) {
      std::cerr << "road_bench: grab failed at frame " << k << "\n";
      return 1;
    }
    // Placed at the scene's pace, as a real-time camera would be: the
    // speed module checks the camera's clock against the placement's.
    const long long us = road.stamp(k);
    kovira::FrameMetadata& rec = road.store().meta().writerBack();
    rec.sec.store(static_cast<unsigned>(us / 1000000));
    rec.usec.store(static_cast<unsigned>(us % 1000000));
    road.holdBack();
  }
  road.drain();
  camera.reset();
  road.printSummary(std::string("whole road") + (usb3 ? " from the USB3 camera" : "") +
                    (modules ? " with every module" : ""));
  return roadrig::Road::groupsDone < scene.vehicles.size() ? 1 : 0;
}
