// The unit's program with a real configuration file: SIGHUP reload, the
// rewrite of a hand-edited file in the store's layout, and a missing file.
#include "tests/config/config_fixture.h"
#include "tests/support/ports.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace kovira {
namespace {

using Clock = std::chrono::steady_clock;
using testing::readFile;

const std::string kProgram = std::string(KOVIRA_BINARY_DIR) + "/bin/kovira";

// The program running with its standard output in a file (no --cfg when
// cfg is empty).
class Program {
 public:
  Program(const std::string& cfg, const std::string& out) : out_(out) {
    pid_ = ::fork();
    if (pid_ == 0) {
      const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(fd, 1);
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 2);
      if (cfg.empty())
        ::execl(kProgram.c_str(), kProgram.c_str(), static_cast<char*>(nullptr));
      else
        ::execl(kProgram.c_str(), kProgram.c_str(), "--cfg", cfg.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~Program() {
    if (pid_ > 0 && status_ < 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  std::string output() const { return readFile(out_); }
  // Polls the output (a child process offers nothing to wait on) until it
  // holds text or the time is up.
  bool waitForOutput(const std::string& text, std::chrono::milliseconds limit) const {
    return waitFor([&] { return output().find(text) != std::string::npos; }, limit);
  }
  template <class Pred>
  static bool waitFor(Pred pred, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
      if (pred()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pred();
  }
  void signal(int sig) const { ::kill(pid_, sig); }
  // Exit status, or -1 when the program did not end in time.
  int wait(std::chrono::milliseconds limit) {
    waitFor(
        [&] {
          int st = 0;
          if (::waitpid(pid_, &st, WNOHANG) == pid_) status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
          return status_ >= 0;
        },
        limit);
    return status_;
  }

 private:
  std::string out_;
  pid_t pid_ = -1;
  int status_ = -1;
};

std::string withPort(std::string text, int port) {
  const std::string mark = "@PORT@";
  text.replace(text.find(mark), mark.size(), std::to_string(port));
  return text;
}

class ConfigE2E : public testing::ConfigTest {};

TEST_F(ConfigE2E, HangUpRewritesAHandEditedFileInTheStoreLayout) {
  const int port = testsupport::unusedLoopbackPort();
  ASSERT_GT(port, 0);
  const std::string cfg = file("kovira.json", withPort(readFile(testing::dataDir() / "e2e_input.json"), port));
  const std::string golden = withPort(readFile(testing::dataDir() / "e2e_golden.json"), port);
  Program program(cfg, (dir / "stdout.txt").string());
  ASSERT_TRUE(program.waitForOutput("Press \"Ctrl-C\" to quit...", std::chrono::seconds(10))) << program.output();
  EXPECT_NE(readFile(cfg), golden);  // started without rewriting anything

  const auto hup = Clock::now();
  program.signal(SIGHUP);
  ASSERT_TRUE(Program::waitFor([&] { return readFile(cfg) == golden; }, std::chrono::seconds(4)))
      << readFile(cfg);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - hup);
  EXPECT_LE(took.count(), 2300) << "rewritten " << took.count() << " ms after SIGHUP";
  ASSERT_TRUE(program.waitForOutput("[CFG] update (save) config", std::chrono::seconds(1)));
  const std::string out = program.output();
  EXPECT_NE(out.find("[CFG] reload config\n[CFG] update (save) config, hash: " +
                     std::to_string(std::hash<std::string>{}(golden)) + "\n"),
            std::string::npos)
      << out;

  program.signal(SIGINT);
  EXPECT_EQ(program.wait(std::chrono::seconds(10)), 0);
  EXPECT_EQ(readFile(cfg), golden);
}

TEST_F(ConfigE2E, ConfigurationThatCannotBeOpenedEndsTheProgramWithStatus1) {
  {
    // The command line already refuses a file it cannot open.
    Program program("/nonexistent", (dir / "stdout.txt").string());
    EXPECT_EQ(program.wait(std::chrono::seconds(10)), 1);
    EXPECT_NE(program.output().find("[CRITICAL] --cfg : /nonexistent - invalid argument\n"), std::string::npos)
        << program.output();
  }
  // Without --cfg the store itself reports the path it could not open.
  Program program("", (dir / "stdout2.txt").string());
  EXPECT_EQ(program.wait(std::chrono::seconds(10)), 1);
  EXPECT_NE(program.output().find("[FAILURE] cannot open configuration file ()\n"), std::string::npos)
      << program.output();
}

}  // namespace
}  // namespace kovira
