// Server of the HTTP benchmark (bench/http_bench.sh): the unit's HTTP
// server on 127.0.0.1:PORT with the production log set-up, serving the
// files given on the command line at "/<file name>" from memory, as a page
// handler would. Runs until SIGINT or SIGTERM. "--peer-connections N" first
// raises the per-peer connection cap: a load generator is one peer.
#include "core/fs.h"
#include "core/log.h"
#include "http/server.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
  const char* program = argv[0];
  HttpServerOptions options;
  options.bindAddress = "127.0.0.1";
  if (argc > 2 && std::string(argv[1]) == "--peer-connections") {
    options.peerConnections = std::stoi(argv[2]);
    argv += 2;
    argc -= 2;
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s [--peer-connections N] PORT FILE...\n", program);
    return 1;
  }
  SetCurrentPath(program);
  log_init();

  HttpServer server(options);
  for (int i = 2; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    auto bytes = std::make_shared<const std::string>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::string name = argv[i];
    name = name.substr(name.rfind('/') + 1);
    server.subscribe("^/" + name + "$", [bytes, name](const HttpRequest&, HttpResponse& res) {
      res.MIMEbyName(name);
      res.write(bytes->data(), static_cast<int>(bytes->size()));
      return 200;
    });
  }
  if (!server.start(std::stoi(argv[1]))) return 1;

  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  int sig = 0;
  sigwait(&set, &sig);
  return 0;
}
