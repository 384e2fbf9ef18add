// The program's own command line: "--cfg FILE" and "-h/--help".
#pragma once

#include "core/cmdline.h"

#include <string>
#include <vector>

// "--cfg": out = path when the file opens for reading, else invalid argument.
stdext::cl_opt::cl_opt_ret getFileName(const std::string& path, std::string& out);

// "-h/--help": prints the usage and ends the process with status 1.
[[noreturn]] void cliDispUsage(const std::string&);
void dispUsage();

// Report callback: warns on stray words, ends the process with status 1 on
// any other error.
void cliResHndl(const std::string& option, const std::string& argument, stdext::cl_opt::cl_opt_ret result);

// The options of this program, in order, storing the "--cfg" path in cfgpath.
std::vector<stdext::cl_opt> programOptions(std::string& cfgpath);
