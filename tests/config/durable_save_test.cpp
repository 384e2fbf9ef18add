// Both durable writers (the configuration file, evidence archives) sync the
// directory after the rename, and a directory that cannot be synced is a
// warning once the new file is in place; a file that cannot be read for the
// look before the switch is left with the reason, and a hand edit saved
// during the switch is kept. strace watches the calls of a small probe
// program and injects the failures.
#include "config/durable_file.h"
#include "tests/config/config_fixture.h"

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <regex>

namespace kovira {
namespace {

using testing::readFile;

const std::string kProbe = std::string(KOVIRA_BINARY_DIR) + "/bin/save_probe";

class DurableSave : public testing::ConfigTest {
 protected:
  // Runs the probe under strace; its exit status, with its output in `out`.
  // With `expected`, the configuration store's save that replaces only a
  // file holding it.
  int probe(const std::string& kind, const std::string& strace, std::string& out, const std::string& expected = "") {
    const std::string target = (dir / "target").string();
    const std::string command = "strace -f -qq " + strace + " -o " + (dir / "trace").string() + " " + kProbe + " " +
                                kind + " " + target + " new " + expected + " > " + (dir / "out").string() +
                                " 2>/dev/null";
    const int rc = std::system(command.c_str());
    out = readFile(dir / "out");
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  }
  std::string target() const { return readFile(dir / "target"); }
};

TEST_F(DurableSave, DirectoryIsSyncedAfterTheRename) {
  struct Case {
    const char* kind;
    const char* expected;  // "": no expectation
    const char* switched;  // the call that puts the new file in place
  };
  const Case cases[] = {
      {"config", "", "rename(\""},
      {"evidence", "", "rename(\""},
      {"config", "old", "renameat2(AT_FDCWD, \""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.kind) + " " + c.expected);
    testing::writeFile(dir / "target", "old");
    std::string out;
    ASSERT_EQ(probe(c.kind, "-e trace=openat,rename,renameat,renameat2,fsync", out, c.expected), 0) << out;
    EXPECT_EQ(target(), "new");
    // The switch, then the directory opened, then that descriptor synced.
    const std::string trace = readFile(dir / "trace");
    const std::size_t renamed = trace.find(c.switched);
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

// The look at the file before it is replaced: a file that cannot be read is
// said so with the system's reason and left as it is (no hand edit claimed);
// the exchange's second look, if it fails, puts the file back; a file system
// that cannot exchange still gets the new text by a rename.
TEST_F(DurableSave, AFileThatCannotBeReadIsLeftWithTheReason) {
  const std::string t = (dir / "target").string();
  struct Case {
    const char* what;
    std::string strace;
    int status;
    std::string said;
    const char* target;
  };
  const std::string cannotRead =
      "failed: cannot read configuration file (" + t + ") to compare it with what was last read or saved: ";
  const Case cases[] = {
      {"read error", "-P " + t + " -e trace=read -e inject=read:error=EIO", 1, cannotRead + "Input/output error",
       "old"},
      {"no descriptor left", "-P " + t + " -e trace=openat -e inject=openat:error=EMFILE", 1,
       cannotRead + "Too many open files", "old"},
      {"read error after the exchange", "-P " + t + "- -e trace=read -e inject=read:error=EIO", 1,
       cannotRead + "Input/output error", "old"},
      {"no exchange on this file system", "-e trace=renameat2,rename -e inject=renameat2:error=EINVAL", 0, "ok", "new"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::writeFile(dir / "target", "old");
    std::string out;
    EXPECT_EQ(probe("config", c.strace, out, "old"), c.status) << readFile(dir / "trace");
    EXPECT_EQ(out, c.said + "\n");
    EXPECT_EQ(target(), c.target);
    EXPECT_FALSE(std::filesystem::exists(t + "-"));
  }
}

// An edit saved by hand between the look and the switch is never replaced:
// however it was written, the file stays as the hand left it.
TEST_F(DurableSave, AHandEditSavedDuringTheSwitchIsKept) {
  const std::filesystem::path t = dir / "target";
  struct Case {
    const char* what;
    std::function<void()> edit;
    bool ok;
    const char* target;  // nullptr: no file
  };
  const Case cases[] = {
      {"nobody", {}, true, "new"},
      {"written in place", [&] { testing::writeFile(t, "hand"); }, false, "hand"},
      {"saved by an editor (renamed over it)",
       [&] {
         testing::writeFile(dir / "target.swp", "hand");
         std::filesystem::rename(dir / "target.swp", t);
       },
       false, "hand"},
      {"removed", [&] { std::filesystem::remove(t); }, false, nullptr},
      {"written back as it was", [&] { testing::writeFile(t, "old"); }, true, "new"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::writeFile(t, "old");
    const WriteResult res = writeFileDurably(t.string(), "new", std::string_view("old"), c.edit);
    EXPECT_EQ(res.ok, c.ok) << res.error;
    EXPECT_EQ(res.changed, !c.ok);
    if (c.target != nullptr)
      EXPECT_EQ(readFile(t), c.target);
    else
      EXPECT_FALSE(std::filesystem::exists(t));
    EXPECT_FALSE(std::filesystem::exists(t.string() + "-"));
  }
}

}  // namespace
}  // namespace kovira
