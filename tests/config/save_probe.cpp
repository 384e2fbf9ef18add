// save_probe config|evidence PATH TEXT: writes TEXT to PATH as the
// configuration store (writeFileDurably) or the evidence store (safeSave)
// does and prints "ok", "ok, warning: ..." or "failed: ..."; the durable-save
// tests run it under strace to watch and break its system calls.
#include "config/durable_file.h"
#include "evidence/simplefile.h"

#include <iostream>
#include <string>

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const std::string kind = argv[1], path = argv[2], text = argv[3];
  kovira::WriteResult res;
  if (kind == "config") {
    res = kovira::writeFileDurably(path, text);
  } else {
    res.ok = safeSave(path, text.data(), text.size()) == static_cast<long long>(text.size());
    res.error = "-1";
  }
  std::cout << (res.ok ? "ok" : "failed: " + res.error) << (res.warning.empty() ? "" : ", warning: " + res.warning)
            << "\n";
  return res.ok ? 0 : 1;
}
