#include "core/cli.h"

#include <cstdlib>
#include <fstream>
#include <iostream>

using stdext::cl_opt;

cl_opt::cl_opt_ret getFileName(const std::string& path, std::string& out) {
  std::ifstream file(path);
  if (!file) return cl_opt::invalid_arg;
  out = path;
  return cl_opt::ok;
}

void dispUsage() {
  std::cout << "Usage: kovira [options] ..." << std::endl;
  std::cout << "Options:" << std::endl;
  std::cout << "    --cfg FILE, --cfg=FILE        Specify the configuration file" << std::endl;
  std::cout << "    -h, --help                            Show this message" << std::endl;
}

void cliDispUsage(const std::string&) {
  dispUsage();
  std::exit(1);
}

void cliResHndl(const std::string& option, const std::string& argument, cl_opt::cl_opt_ret result) {
  if (result == cl_opt::ok) return;
  if (result == cl_opt::stray_arg) {
    std::cout << "[WARNING] " << option << " - unknown argument" << std::endl;
    return;
  }
  std::cout << "[CRITICAL] " << option;
  if (!argument.empty()) std::cout << " : " << argument;
  switch (result) {
    case cl_opt::fail: std::cout << " - fail"; break;
    case cl_opt::arg_required: std::cout << " - argument required"; break;
    case cl_opt::invalid_arg: std::cout << " - invalid argument"; break;
    case cl_opt::unknown_opt: std::cout << " - unknown option"; break;
    default: break;
  }
  std::cout << "\n\n";
  dispUsage();
  std::cout << std::endl;
  std::exit(1);
}

std::vector<cl_opt> programOptions(std::string& cfgpath) {
  std::vector<cl_opt> opts;
  opts.push_back(cl_opt{"cfg", "", "", 0, cl_opt::required_arg,
                        [&cfgpath](const std::string& arg) { return getFileName(arg, cfgpath); }});
  opts.push_back(cl_opt{"help", "", "", 'h', cl_opt::no_arg, [](const std::string& arg) -> cl_opt::cl_opt_ret {
                          cliDispUsage(arg);
                        }});
  return opts;
}
