#include "support/collector.h"

#include "tests/support/ports.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace testsupport {

namespace {
std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
}  // namespace

Collector::Collector(const std::string& script) {
  char pattern[] = "/tmp/kovira-collector-XXXXXX";
  if (!::mkdtemp(pattern)) return;
  dir_ = pattern;
  std::ofstream(dir_ + "/script.json") << script;
  const std::string program = std::string(KOVIRA_SOURCE_DIR) + "/tests/fixtures/collector.py";
  const std::string portFile = dir_ + "/port";
  pid_ = ::fork();
  if (pid_ == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::execl("/usr/bin/python3", "python3", program.c_str(), "--dir", (dir_ + "/rec").c_str(), "--port-file",
            portFile.c_str(), "--script", (dir_ + "/script.json").c_str(), "--timeout", "300",
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  for (int i = 0; i < 400 && port_ == 0; ++i) {
    const std::string text = readAll(portFile);
    if (!text.empty()) port_ = std::atoi(text.c_str());
    else std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

Collector::~Collector() {
  stop();
  std::error_code ec;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

void Collector::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::vector<nlohmann::json> Collector::records() const {
  std::vector<nlohmann::json> out;
  std::ifstream in(dir_ + "/rec/requests.jsonl");
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) {
      auto record = nlohmann::json::parse(line, nullptr, false);  // the last line may be half written
      if (!record.is_discarded()) out.push_back(std::move(record));
    }
  return out;
}

bool Collector::waitForRecords(std::size_t n, std::chrono::milliseconds limit) const {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (records().size() < n) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::string Collector::body(const nlohmann::json& record) const {
  return readAll(dir_ + "/rec/bodies/" + record["body"].get<std::string>());
}

int closedPort() { return unusedLoopbackPort(); }

}  // namespace testsupport
