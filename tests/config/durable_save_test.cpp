// Both durable writers (the configuration file, evidence archives) sync the
// directory after the rename, and a directory that cannot be synced is a
// warning once the new file is in place. strace watches the calls of a
// small probe program and injects the failures.
#include "tests/config/config_fixture.h"

#include <sys/wait.h>

#include <cstdlib>
#include <regex>

namespace kovira {
namespace {

using testing::readFile;

const std::string kProbe = std::string(KOVIRA_BINARY_DIR) + "/bin/save_probe";

class DurableSave : public testing::ConfigTest {
 protected:
  // Runs the probe under strace; its exit status, with its output in `out`.
  int probe(const std::string& kind, const std::string& strace, std::string& out) {
    const std::string target = (dir / "target").string();
    const std::string command = "strace -f -qq " + strace + " -o " + (dir / "trace").string() + " " + kProbe +
                                " " + kind + " " + target + " new > " + (dir / "out").string() + " 2>/dev/null";
    const int rc = std::system(command.c_str());
    out = readFile(dir / "out");
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  }
  std::string target() const { return readFile(dir / "target"); }
};

TEST_F(DurableSave, DirectoryIsSyncedAfterTheRename) {
  for (const std::string kind : {"config", "evidence"}) {
    SCOPED_TRACE(kind);
    std::string out;
    ASSERT_EQ(probe(kind, "-e trace=openat,rename,renameat,renameat2,fsync", out), 0) << out;
    EXPECT_EQ(target(), "new");
    // The rename, then the directory opened, then that descriptor synced.
    const std::string trace = readFile(dir / "trace");
    const std::size_t renamed = trace.find("rename(\"");
    ASSERT_NE(renamed, std::string::npos) << trace;
    std::smatch opened;
    const std::string after = trace.substr(renamed);
    ASSERT_TRUE(std::regex_search(after, opened, std::regex("openat\\([^\\n]*\"" + dir.string() +
                                                            "\", O_RDONLY[^\\n]*O_DIRECTORY[^\\n]*\\) = ([0-9]+)")))
        << trace;
    const std::string rest = after.substr(static_cast<std::size_t>(opened.position(0)));
    EXPECT_TRUE(std::regex_search(rest, std::regex("fsync\\(" + opened[1].str() + "\\) +=  ?0"))) << trace;
  }
}

TEST_F(DurableSave, FailedFileSyncFailsTheSaveFailedDirectorySyncOnlyWarns) {
  struct Case {
    const char* kind;
    int failingSync;  // 1: the temporary file's, 2: the directory's
    int status;
    const char* target;
    const char* said;  // in the probe's output (the evidence store logs)
  };
  const Case cases[] = {
      {"config", 1, 1, "old", "failed: cannot write/flush to file"},
      {"config", 2, 0, "new", "ok, warning: cannot sync directory (" },
      {"evidence", 1, 1, "old", "failed: -1"},
      {"evidence", 2, 0, "new", "[warning] cannot sync directory ("},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.kind) + " sync " + std::to_string(c.failingSync));
    testing::writeFile(dir / "target", "old");
    std::string out;
    EXPECT_EQ(probe(c.kind, "-e trace=fsync -e inject=fsync:error=EIO:when=" + std::to_string(c.failingSync), out),
              c.status);
    EXPECT_NE(out.find(c.said), std::string::npos) << out;
    EXPECT_EQ(target(), c.target);
  }
}

}  // namespace
}  // namespace kovira
