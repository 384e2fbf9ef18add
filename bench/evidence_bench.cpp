// Times the composition work of one evidence event at the default sizes
// (the 1280x720 evidence frame copied out of a frame store, a 960x600
// collage with a two-line Cyrillic caption, the full frame, a plate crop,
// the report, a tar of the four and a signature with the key file) against
// the anchor measured in the same run: the bare cv::imencode of the same
// pictures at the same qualities. Prints both and their ratio.
//
// Usage: evidence_bench [events]
#include "capture/cambuf.h"
#include "core/text.h"
#include "evidence/brighten.h"
#include "evidence/collage.h"
#include "evidence/common.h"
#include "evidence/compose_frame.h"
#include "evidence/labelformat.h"
#include "evidence/simplefile.h"
#include "evidence/tar.h"
#include "evidence/xmlreport.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

constexpr int kQuality = 80;
const cv::Rect kPlate(585, 520, 130, 30);
const cv::Rect kCar(470, 300, 360, 300);

std::string makeKeyPem() {
  EVP_PKEY* key = EVP_RSA_gen(2048);
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  char* p = nullptr;
  const long n = BIO_get_mem_data(bio, &p);
  std::string pem(p, static_cast<std::size_t>(n));
  BIO_free(bio);
  EVP_PKEY_free(key);
  return pem;
}

cv::Mat makeFrame() {
  cv::Mat frame(720, 1280, CV_8UC1);
  cv::randu(frame, 5, 40);  // a noisy night frame: realistic JPEG cost
  cv::rectangle(frame, kCar, cv::Scalar(30), cv::FILLED);
  cv::rectangle(frame, kPlate, cv::Scalar(70), cv::FILLED);
  cv::putText(frame, "A123BC77", {kPlate.x + 6, kPlate.y + 23}, cv::FONT_HERSHEY_SIMPLEX, 0.75, cv::Scalar(5), 2);
  return frame;
}

struct Event {
  cv::Mat collage;
  cv::Mat frame;
  cv::Mat plate;
  std::size_t archive = 0;
};

// The evidence composition of one event, as a module runs it.
Event compose(const kovira::CamBuf& store, unsigned index, const std::string& keyPath) {
  Event e;
  thread_local evidence::EvidenceFrame copy;
  if (evidence::copyEvidenceFrame(store, index, copy) != evidence::FrameCopyStatus::Copied) {
    std::fprintf(stderr, "evidence_bench: frame not copied\n");
    std::exit(1);
  }
  cv::Mat grey = copy.grey();
  e.plate = grey(kPlate).clone();
  miraclefunc(grey);
  e.frame = grey;

  CollageImage photo(grey);
  const cv::Point centre(kPlate.x + kPlate.width / 2, kPlate.y + kPlate.height / 2);
  photo.setCoord(1, centre);
  photo.setCoord(2, kPlate.tl());
  photo.setCoord(3, kPlate.br());
  photo.DrawRect(kPlate.x, kPlate.y, kPlate.width, kPlate.height, "0000FF", 6);
  LabelFormat label("%t %n|СКОРОСТЬ %spd КМ/Ч, ЛИМИТ %lim КМ/Ч", 1700000000);
  label.emplace("n", "А123ВС77");
  label.emplace("spd", 87);
  label.emplace("lim", 60);
  photo.caption = strtoupper(label.text());
  photo.Offset(kCar.x, kCar.y, kCar.width, kCar.height);
  photo.fill = true;
  Collage collage(1, 960, 600);
  collage.Place(photo, 1);
  collage.Assemble(false);
  e.collage = collage.image;

  const SimpleFile m = loadCvImage(collage.image, "m.jpg", kQuality);
  const SimpleFile plate = loadCvImage(e.plate, "plate.jpg", 80);
  const SimpleFile big = loadCvImage(grey, "big.jpg", kQuality);

  XmlReport report;
  report.set(XmlDeviceFields{"C-1", "2030", "A-2", "2029", "KV0042", "4501", "ул. Ленина", "Kovira-3", ""});
  report.set("tTargetGlobalUID", "0123456789abcdef0123456789abcdef");
  report.set("tLicenseNumber", "A123BC77");
  for (int id = 1; id <= 3; ++id) {
    int x = 0, y = 0;
    collage.getCoord(id, x, y);
    report.set<int>("nRectNumX" + std::to_string(id), x);
    report.set<int>("nRectNumY" + std::to_string(id), y);
  }

  Tar tar;
  tar.add("m.jpg", m.bytes(), static_cast<int>(m.size));
  tar.add("plate.jpg", plate.bytes(), static_cast<int>(plate.size));
  tar.add("big.jpg", big.bytes(), static_cast<int>(big.size));
  tar.add("angel.xml", report.data(), static_cast<int>(report.size()));
  SimpleFile signedBytes(report.data(), report.size());
  signedBytes += m;
  signAngelMe(keyPath, tar, signedBytes);
  const SimpleFile archive = tar.take();
  e.archive = archive.size;
  return e;
}

template <class F>
double milliseconds(F&& body) {
  const auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int events = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
  const std::string keyPath =
      (std::filesystem::temp_directory_path() / ("evidence_bench_" + std::to_string(::getpid()) + ".pem")).string();
  std::ofstream(keyPath, std::ios::binary) << makeKeyPem();
  const cv::Mat frame = makeFrame();
  kovira::CamBuf store(16u << 20);
  const unsigned index = static_cast<unsigned>(
      store.addFrame(frame.cols, frame.rows, FRAME_GRAY8, 0, frame.data, frame.total()).position);
  const Event sample = compose(store, index, keyPath);  // warm-up: fonts, codecs, caches
  const cv::Mat bigGrey = sample.frame.clone();

  // Event and anchor alternate, and each keeps its median: the machine's
  // load changes during a run, and both sides should see the same.
  std::size_t sink = 0;
  std::vector<double> eventTimes, anchorTimes;
  for (int i = 0; i < events; ++i) {
    eventTimes.push_back(milliseconds([&] { sink += compose(store, index, keyPath).archive; }));
    anchorTimes.push_back(milliseconds([&] {
      std::vector<unsigned char> out;
      const std::vector<int> q{cv::IMWRITE_JPEG_QUALITY, kQuality};
      cv::imencode(".jpg", sample.collage, out, q);
      sink += out.size();
      cv::imencode(".jpg", sample.plate, out, q);
      sink += out.size();
      cv::imencode(".jpg", bigGrey, out, q);
      sink += out.size();
    }));
  }
  const double event = median(eventTimes);
  const double anchor = median(anchorTimes);
  std::filesystem::remove(keyPath);
  std::printf("events: %d (archive %zu bytes)\n", events, sample.archive);
  std::printf("whole event (median):   %8.3f ms\n", event);
  std::printf("bare JPEG encoding:     %8.3f ms\n", anchor);
  std::printf("ratio event/encoding:   %8.3f (aim: at most 1.5)\n", event / anchor);
  return sink == 0 ? 1 : 0;
}
