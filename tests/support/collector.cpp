#include "support/collector.h"

#include "tests/support/ports.h"
#include "tests/support/text.h"
#include "tests/support/wait.h"

#include <signal.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace testsupport {

Collector::Collector(const std::string& script, int port) {
  char pattern[] = "/tmp/kovira-collector-XXXXXX";
  if (!::mkdtemp(pattern)) return;
  dir_ = pattern;
  std::ofstream(dir_ + "/script.json") << script;
  const std::string program = std::string(KOVIRA_SOURCE_DIR) + "/tests/fixtures/collector.py";
  const std::string portFile = dir_ + "/port";
  const std::string portArg = std::to_string(port);
  pid_ = ::fork();
  if (pid_ == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::execl("/usr/bin/python3", "python3", program.c_str(), "--dir", (dir_ + "/rec").c_str(), "--port-file",
            portFile.c_str(), "--script", (dir_ + "/script.json").c_str(), "--timeout", "300",
            "--port", portArg.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  waitUntil([&] { return (port_ = std::atoi(readFile(portFile).c_str())) > 0; }, std::chrono::seconds(4));
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
  std::stable_sort(out.begin(), out.end(),
                   [](const nlohmann::json& a, const nlohmann::json& b) { return a.value("n", 0) < b.value("n", 0); });
  return out;
}

bool Collector::waitForRecords(std::size_t n, std::chrono::milliseconds limit) const {
  return waitUntil([&] { return records().size() >= n; }, limit);
}

std::string Collector::body(const nlohmann::json& record) const {
  return readFile(dir_ + "/rec/bodies/" + record["body"].get<std::string>());
}

int closedPort() { return unusedLoopbackPort(); }

}  // namespace testsupport
