// Helper process for the descriptor-exhaustion test: an HTTP server under a
// small RLIMIT_NOFILE. Prints its port, serves until killed (or for two
// minutes at most, should the test that started it be gone).
#include "core/fs.h"
#include "core/log.h"
#include "http/server.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

int main(int, char** argv) {
  // The log file opens with the first record, while descriptors are free.
  SetCurrentPath(argv[0]);
  log_init();
  log_info("descriptor test server");

  constexpr rlim_t kDescriptors = 24;
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = kDescriptors;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 2;

  HttpServerOptions options;
  options.bindAddress = "127.0.0.1";
  options.timeoutSec = 10;
  HttpServer server(options);
  if (!server.start(0)) return 1;
  std::printf("%d\n", server.boundPort());
  std::fflush(stdout);
  ::alarm(120);
  for (;;) ::pause();
}
