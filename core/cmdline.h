// Command-line parsing over getopt_long.
//
// Each option has a long name (none when empty), a short character (0 =
// none), an argument mode and a handler. cl_parse reports every option found
// and every stray word to a callback, after the option's handler has run.
#pragma once

#include <getopt.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace stdext {

struct cl_opt {
  enum cl_opt_ret { ok = 0, fail = 1, arg_required = 2, invalid_arg = 3, unknown_opt = 4, stray_arg = 5 };
  enum arg_mode { no_arg = 0, required_arg = 1, optional_arg = 2 };

  std::string longname;
  std::string descr1;
  std::string descr2;
  char shortname = 0;
  int mode = no_arg;
  std::function<cl_opt_ret(const std::string&)> handler;
};

template <class It, class Report>
void cl_parse(int argc, char** argv, It first, It last, Report report) {
  std::vector<option> longopts;
  std::string shortopts = ":";  // report a missing argument apart from an unknown option
  for (It it = first; it != last; ++it) {
    if (!it->longname.empty())
      longopts.push_back(option{it->longname.c_str(), it->mode, nullptr, it->shortname});
    if (it->shortname != 0) {
      shortopts += it->shortname;
      if (it->mode == cl_opt::required_arg) shortopts += ":";
      if (it->mode == cl_opt::optional_arg) shortopts += "::";
    }
  }
  longopts.push_back(option{nullptr, 0, nullptr, 0});

  // The text of the word getopt just complained about.
  auto optionText = [&]() -> std::string {
    if (optopt != 0) return std::string("-") + static_cast<char>(optopt);
    const int at = optind - 1;
    return at >= 0 && at < argc ? argv[at] : "";
  };
  auto run = [](It opt, const char* arg) {
    const std::string text = arg ? arg : "";
    return opt->handler ? opt->handler(text) : cl_opt::ok;
  };

  optind = 1;  // start afresh also when called more than once
  opterr = 0;
  int longindex = -1;
  int c = 0;
  while ((c = getopt_long(argc, argv, shortopts.c_str(), longopts.data(), &longindex)) != -1) {
    if (c == ':') {
      report(optionText(), std::string(), cl_opt::arg_required);
    } else if (c == '?') {
      report(optionText(), std::string(), cl_opt::unknown_opt);
    } else if (c != 0) {
      It opt = std::find_if(first, last, [c](const cl_opt& o) { return o.shortname == c; });
      const std::string text = std::string("-") + static_cast<char>(c);
      const std::string arg = optarg ? optarg : "";
      report(text, arg, opt == last ? cl_opt::fail : run(opt, optarg));
    } else if (longindex >= 0) {
      const std::string name = longopts[static_cast<std::size_t>(longindex)].name;
      It opt = std::find_if(first, last, [&](const cl_opt& o) { return o.longname == name; });
      const std::string arg = optarg ? optarg : "";
      report("--" + name, arg, opt == last ? cl_opt::fail : run(opt, optarg));
    }
    longindex = -1;
  }
  for (int i = optind; i < argc; ++i) report(argv[i], std::string(), cl_opt::stray_arg);
}

}  // namespace stdext
