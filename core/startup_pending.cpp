// Empty start-up functions of modules that do not exist yet. A module that
// is built removes its line here and defines the function in its own folder.
#include "core/startup_functions.h"

// clang-format off
namespace wrongdir { void modinit() {} }
namespace carflow { void modinit() {} }
namespace spd_kormelino { void modinit() {} }
namespace mask { void modinit() {} }
namespace postframe { void modinit() {} }
namespace busline { void modinit() {} }
namespace trackdump { void modinit() {} }
namespace busline_kormelino { void modinit() {} }
// clang-format on
