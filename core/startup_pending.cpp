// Empty start-up functions of modules that do not exist yet. A module that
// is built removes its line here and defines the function in its own folder.
#include "core/startup_functions.h"

// clang-format off
// clang-format on
