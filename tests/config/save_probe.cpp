// save_probe config|evidence PATH TEXT [EXPECTED]: writes TEXT to PATH as the
// configuration store (writeFileDurably, replacing only a file that holds
// EXPECTED when it is given) or the evidence store (safeSave) does and prints
// "ok", "ok, warning: ..." or "failed: ..."; the durable-save tests run it
// under strace to watch and break its system calls.
#include "config/durable_file.h"
#include "evidence/simplefile.h"

#include <iostream>
#include <string>

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) return 2;
  const std::string kind = argv[1], path = argv[2], text = argv[3];
  kovira::WriteResult res;
  if (kind == "config" && argc == 5) {
    res = kovira::writeFileDurably(path, text, std::string_view(argv[4]));
  } else if (kind == "config") {
    res = kovira::writeFileDurably(path, text);
  } else {
    res.ok = safeSave(path, text.data(), text.size()) == static_cast<long long>(text.size());
    res.error = "-1";
  }
  std::cout << (res.ok ? "ok" : "failed: " + res.error) << (res.warning.empty() ? "" : ", warning: " + res.warning)
            << "\n";
  return res.ok ? 0 : 1;
}
