// Saving on a full file system: a small tmpfs mounted in a private mount
// namespace (so the host's mounts are never touched). Needs CAP_SYS_ADMIN;
// skipped where unsharing the mount namespace is not permitted.
#include "tests/config/config_fixture.h"

#include <nlohmann/json.hpp>

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>

namespace kovira {
namespace {

using Json = nlohmann::json;

constexpr int kSkip = 77;

// Fills the file system holding path until a write fails.
void fill(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const std::string block(4096, 'x');
  while (::write(fd, block.data(), block.size()) > 0) {
  }
  ::close(fd);
}

// Runs in the child: returns 0 on success or the number of the failed step.
int fullDiskScenario(const std::filesystem::path& mnt, const IdentityPaths& identity) {
  if (::unshare(CLONE_NEWNS) != 0) return kSkip;
  if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return kSkip;
  if (::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=64k") != 0) return kSkip;
  const std::string cfgfile = (mnt / "kovira.json").string();
  const std::string original = "[{\"type\": \"global\", \"timezone\": 1}]";
  testing::writeFile(cfgfile, original);
  GlobalConfig cfg(identity);
  if (!cfg.read(cfgfile)) return 1;
  cfg.work();
  fill((mnt / "filler").string());
  // 1. Edits while the disk is full are reported, and the old file stays.
  cfg.updSection("global", {{"timezone", 2}, {"address", std::string(8192, 'a')}});
  cfg.work();
  cfg.updSection("global", {{"timezone", 3}});
  cfg.work();
  if (testing::readFile(cfgfile) != original) return 2;
  if (std::filesystem::exists(cfgfile + "-")) return 3;  // no partial temporary file holds space
  // 2. Once space returns, the newest text is saved without a new edit.
  std::filesystem::remove(mnt / "filler");
  cfg.work();
  const Json saved = Json::parse(testing::readFile(cfgfile));
  if (saved.back()["timezone"] != 3 || saved.back()["address"].get<std::string>().size() != 8192) return 4;
  ::umount(mnt.c_str());
  return 0;
}

class FullDiskTest : public testing::ConfigTest {};

TEST_F(FullDiskTest, EditsAreKeptUntilSpaceReturns) {
  const std::filesystem::path mnt = dir / "mnt";
  std::filesystem::create_directory(mnt);
  const std::string log = (dir / "stdout.txt").string();
  std::cout.flush();
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, 1);
    int rc = 100;
    try {
      rc = fullDiskScenario(mnt, identity);
    } catch (const std::exception& e) {
      std::cout << "exception: " << e.what() << std::endl;
    }
    std::cout.flush();
    ::_exit(rc);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  const std::string out = testing::readFile(log);
  if (WEXITSTATUS(status) == kSkip) GTEST_SKIP() << "no private mount namespace here";
  ASSERT_EQ(WEXITSTATUS(status), 0) << out;
  EXPECT_NE(out.find("[FAILURE] cannot write/flush to file (" + (mnt / "kovira.json-").string() + ")"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("[CFG] configuration saved after 2 failed attempts"), std::string::npos) << out;
}

}  // namespace
}  // namespace kovira
