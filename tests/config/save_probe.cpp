// save_probe config|evidence PATH TEXT: writes TEXT to PATH as the
// configuration store (writeFileDurably) or the evidence store (safeSave)
// does, and prints the outcome: "ok", "ok, warning: ..." or "failed: ...".
// The durable-save tests run it under strace to watch and break its calls.
#include "config/durable_file.h"
#include "evidence/simplefile.h"

#include <iostream>
#include <string>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: save_probe config|evidence PATH TEXT\n";
    return 2;
  }
  const std::string kind = argv[1];
  const std::string path = argv[2];
  const std::string text = argv[3];
  if (kind == "config") {
    const kovira::WriteResult res = kovira::writeFileDurably(path, text);
    if (!res.ok) {
      std::cout << "failed: " << res.error << "\n";
      return 1;
    }
    std::cout << "ok" << (res.warning.empty() ? "" : ", warning: " + res.warning) << "\n";
    return 0;
  }
  const long long rc = safeSave(path, text.data(), text.size());
  std::cout << (rc == static_cast<long long>(text.size()) ? "ok" : "failed: " + std::to_string(rc)) << "\n";
  return rc < 0 ? 1 : 0;
}
