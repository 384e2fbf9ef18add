// The unit's program with cameras configured: a network camera whose
// receiver cannot bind its UDP port, an OpenCV camera playing a video made
// with the ffmpeg command line, and one whose file is missing. The program
// must come up, say what failed, play the file, and stop cleanly.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include "tests/support/ports.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

const std::string kProgram = std::string(KOVIRA_BINARY_DIR) + "/bin/kovira";

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

template <class Pred>
bool waitFor(Pred pred, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return pred();
}

class CameraStartE2E : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kovira-camstart-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override {
    if (pid > 0 && status < 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  void start(const std::string& cfg) {
    pid = ::fork();
    if (pid == 0) {
      const int out = ::open((dir / "stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = ::open((dir / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(out, 1);
      ::dup2(err, 2);
      ::execl(kProgram.c_str(), kProgram.c_str(), "--cfg", cfg.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  std::string out() const { return readFile(dir / "stdout.txt"); }
  std::string err() const { return readFile(dir / "stderr.txt"); }
  bool running() {
    int st = 0;
    if (status < 0 && ::waitpid(pid, &st, WNOHANG) == pid) status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return status < 0;
  }

  std::filesystem::path dir;
  pid_t pid = -1;
  int status = -1;
};

TEST_F(CameraStartE2E, HeldUdpPortAndMissingFileDoNotStopTheUnitAndTheVideoPlays) {
  // Hold the receiver's RTP port. When this bind fails, another process
  // holds it already, which serves the test just as well.
  const int held = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(held, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(8000);
  (void)::bind(held, reinterpret_cast<sockaddr*>(&addr), sizeof addr);

  const std::string video = (dir / "road.avi").string();
  const std::string make = "ffmpeg -nostdin -v error -f lavfi -i testsrc=s=160x120:r=25 -frames:v 5 -c:v mpeg4 -y " + video;
  ASSERT_EQ(std::system(make.c_str()), 0);
  const std::string missing = (dir / "missing.mp4").string();
  const int port = testsupport::unusedLoopbackPort();
  ASSERT_GT(port, 0);
  const auto cfg = dir / "kovira.json";
  std::ofstream(cfg) << "[{\"type\": \"global\", \"webserver\": " << port << "},\n"
                     << R"({"type": "camera", "camid": 1, "bufsize": 4, "source": "rtsp", "enabled": 1, "url": "rtsp://127.0.0.1:8554/cam"},)"
                     << "\n{\"type\": \"camera\", \"camid\": 2, \"bufsize\": 4, \"source\": \"opencv\", \"enabled\": 1, "
                     << "\"fps\": 25, \"url\": \"" << video << "\"},\n"
                     << "{\"type\": \"camera\", \"camid\": 3, \"bufsize\": 4, \"source\": \"opencv\", \"enabled\": 1, "
                     << "\"url\": \"" << missing << "\"}]";
  start(cfg.string());

  ASSERT_TRUE(waitFor([&] { return out().find("Press \"Ctrl-C\" to quit...") != std::string::npos; },
                      std::chrono::seconds(10)))
      << out() << err();
  EXPECT_NE(out().find("[FAILURE] network cameras are not started: bind udp port 8000: "), std::string::npos)
      << out();
  EXPECT_TRUE(waitFor([&] { return err().find("[OPENCV] Error when reading: " + missing + "\n") != std::string::npos; },
                      std::chrono::seconds(5)))
      << err();
  // Five frames at 40 ms: the end of the file comes well within a second.
  EXPECT_TRUE(waitFor(
      [&] { return out().find("[OPENCV] Cannot read the frame from video file\n") != std::string::npos; },
      std::chrono::seconds(5)))
      << out();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the unit must still be up afterwards
  EXPECT_TRUE(running());

  ::kill(pid, SIGINT);
  EXPECT_TRUE(waitFor([&] { return !running(); }, std::chrono::seconds(10)));
  EXPECT_EQ(status, 0) << out() << err();
  ::close(held);
}

}  // namespace
