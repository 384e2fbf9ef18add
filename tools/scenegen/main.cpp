// scenegen SCENE.json OUTDIR [--h264]
// Renders a scene into OUTDIR: scene.avi (grey, lossless), optionally
// scene.h264, truth.json and kovira.json (see scene.h for the scene file).
#include "platform/scene/scene.h"
#include "platform/scene/scene_render.h"
#include "tools/scenegen/scene_outputs.h"
#include "tools/scenegen/video_sink.h"

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;
using namespace kovira::scenegen;

namespace {

int usage() {
  std::cerr << "usage: scenegen SCENE.json OUTDIR [--h264]\n";
  return 2;
}

bool writeText(const fs::path& path, const std::string& text) {
  const fs::path tmp = path.string() + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) return false;
  }
  std::error_code ec;
  fs::rename(tmp, path, ec);
  return !ec;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  bool h264 = false;
  std::vector<std::string> positional;
  for (const std::string& a : args) {
    if (a == "--h264") {
      h264 = true;
    } else if (a.rfind("--", 0) == 0) {
      return usage();
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 2) return usage();
  // An encoder process that dies must not kill us silently through SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);

  std::ifstream in(positional[0], std::ios::binary);
  if (!in) {
    std::cerr << "scenegen: cannot read " << positional[0] << "\n";
    return 1;
  }
  std::stringstream text;
  text << in.rdbuf();
  SceneOrError parsed = parseScene(text.str());
  if (!parsed.scene) {
    std::cerr << "scenegen: " << positional[0] << ": " << parsed.error << "\n";
    return 1;
  }
  const Scene& scene = *parsed.scene;

  SceneRenderer renderer(scene);
  for (std::size_t i = 0; i < scene.vehicles.size(); ++i) {
    const double exit = renderer.exitSecond(i);
    if (exit > scene.seconds - kEmptyTailSeconds) {
      std::fprintf(stderr,
                   "scenegen: vehicle %zu (%s) leaves the picture at %.2f s; the scene needs \"seconds\" of at "
                   "least %.2f to keep %.0f s of empty road at the end\n",
                   i, scene.vehicles[i].plate.c_str(), exit, exit + kEmptyTailSeconds, kEmptyTailSeconds);
      return 1;
    }
  }

  std::error_code ec;
  fs::create_directories(positional[1], ec);
  if (ec) {
    std::cerr << "scenegen: cannot create " << positional[1] << ": " << ec.message() << "\n";
    return 1;
  }
  const fs::path outdir = fs::weakly_canonical(fs::absolute(positional[1]));

  std::string error;
  auto avi = openGreyAvi((outdir / "scene.avi").string(), scene.width, scene.height, scene.fps, error);
  if (!avi) {
    std::cerr << "scenegen: " << error << "\n";
    return 1;
  }
  std::unique_ptr<VideoSink> stream;
  if (h264) {
    stream = openH264((outdir / "scene.h264").string(), scene.width, scene.height, scene.fps, error);
    if (!stream) {
      std::cerr << "scenegen: " << error << "\n";
      return 1;
    }
  }

  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(scene.width) * scene.height);
  const kovira::plate::GreyCanvas canvas{pixels.data(), scene.width, scene.height, scene.width};
  for (int k = 0; k < scene.frameCount(); ++k) {
    renderer.render(k, canvas);
    if (!avi->write(canvas.view()) || (stream && !stream->write(canvas.view()))) {
      std::cerr << "scenegen: the encoder refused frame " << k << "\n";
      return 1;
    }
  }
  if (!avi->close() || (stream && !stream->close())) {
    std::cerr << "scenegen: the encoder failed to finish the video\n";
    return 1;
  }
  if (!writeText(outdir / "truth.json", truthJson(scene, renderer)) ||
      !writeText(outdir / "kovira.json", configJson(scene, outdir.string()))) {
    std::cerr << "scenegen: cannot write the text outputs into " << outdir << "\n";
    return 1;
  }
  fs::create_directories(outdir / "evidence", ec);
  std::cout << "scenegen: " << scene.frameCount() << " frames into " << outdir.string() << "\n";
  return 0;
}
