// Process entry, the top of the house: wires the unit together (the
// recognition stage behind the decode stage, the scene recognition reads),
// turns the one-second main loop and shuts the pipeline down in a fixed
// order.

#include "codec/decode.h"
#include "codec/nvdevice.h"
#include "config/config.h"
#include "core/child_process.h"
#include "core/cli.h"
#include "core/console.h"
#include "core/fs.h"
#include "core/log.h"
#include "core/scheduler.h"
#include "core/startup_registry.h"
#include "core/working.h"
#include "http/server.h"
#include "recognition/cnnproc.h"
#include "recognition/resqueue.h"
#include "recognition/scene_binding.h"

#include <csignal>
#include <ctime>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

namespace {

// A pipeline thread that cannot be started is reported; the unit runs on
// without it.
template <class Body>
std::optional<std::thread> startThread(const char* what, Body& body) {
  try {
    return std::thread(std::ref(body));
  } catch (const std::system_error& e) {
    std::cout << "[ERR] " << what << " thread not started: " << e.what() << std::endl;
    return std::nullopt;
  }
}

void joinThread(std::optional<std::thread>& t) {
  if (t && t->joinable()) t->join();
}

}  // namespace

int main(int argc, char** argv) {
  // 1. Signals: SIGINT stops the loop, SIGHUP asks for a reload.
  std::signal(SIGINT, signalcallback);
  std::signal(SIGHUP, signalcallback);

  // 2-4. Configuration object, program directory, log.
  kovira::GlobalConfig& cfg = kovira::config();
  SetCurrentPath(argv[0]);
  log_init();
  log_info("start, program directory " + GetCurrentPath());

  // 5. Banner.
  std::cout << std::endl << "Welcome to " << "Kovira" << " v" << "0.0.2" << std::endl;

  // 6. Command line.
  std::string cfgpath;
  const std::vector<stdext::cl_opt> options = programOptions(cfgpath);
  stdext::cl_parse(argc, argv, options.begin(), options.end(), cliResHndl);

  // The codec devices must be usable as set up before anything is started.
  if (std::string why; !devUsable(why)) {
    std::cout << "[FAILURE] codec devices: " << why << std::endl;
    std::exit(1);
  }

  // 7-8. Configuration.
  if (!cfg.read(cfgpath)) std::exit(1);
  cfg.sortActions();

  // Recognition reads zones and frame stores through one binding, made
  // before any module, page or pipeline thread can use it.
  kovira::bindSceneAccess();

  // 9. Every module's start-up function, in registry order.
  runStartupRegistry();

  // 12. Pipeline objects (their threads start below): recognition attaches
  // its "cnnconf" section here.
  kovira::CnnProc cnnproc(resproc);
  kovira::Decode decode(cnnproc);  // the decode stage's pictures go to recognition

  // Every section owner has attached and no page can change anything yet:
  // what the store holds now is the file as read, and a start never
  // rewrites it.
  cfg.learnSaved();

  // 10. Web server; a failed start is logged by the server and the unit
  // runs on without pages.
  if (cfg.webserver != 0) webserver().start(cfg.webserver);

  // 11. Scheduler: every task was added by the modules above.
  scheduler.start();

  // 13. Pipeline threads.
  std::optional<std::thread> queueThread = startThread("result queue", resproc);
  std::optional<std::thread> cnnThread = startThread("recognition", cnnproc);
  std::optional<std::thread> decodeThread = startThread("decode", decode);

  // 14.
  std::cout << std::endl << "Press \"Ctrl-C\" to quit..." << std::endl << std::endl;

  while (working > 0) {
    timespec second{1, 0};
    nanosleep(&second, nullptr);
    cfg.work();
  }

  std::cout << std::endl << "Quit program..." << std::endl;
  // Pages read the pipeline objects below and log through the core that
  // static destruction frees: no request may run past this point. A request
  // still busy after the server's grace time waits on commands (the
  // diagnostics page): ending them ends it, whatever the commands do.
  webserver().onGraceExpired([] {
    const int n = childProcesses().killAll();
    if (n > 0) consoleLine("[DBG] shut-down: " + std::to_string(n) + " running command(s) killed");
  });
  webserver().stop();
  resproc.stop();
  cnnproc.requestStop();
  decode.stop = true;
  joinThread(queueThread);
  joinThread(cnnThread);
  joinThread(decodeThread);
  runExitRegistry();

  // No task may run during static destruction, nor wait on a command, and no
  // command of the unit outlives it.
  childProcesses().killAll();
  scheduler.stop();
  return exitStatus();  // 0 unless a start-up fault asked for another
}
