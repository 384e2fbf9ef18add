// Empty start-up functions of modules that do not exist yet. A module that
// is built removes its line here and defines the function in its own folder.
#include "core/startup_functions.h"

// clang-format off
namespace webcollage { void collage_httphook_init() {} }
namespace heartbeat { void modinit() {} }
namespace frame { void frame_httphook_init() {} }
namespace webtrack { void tracks_httphook_init() {} }
namespace basic { void mesure_httphook_init() {} }
namespace cnnweb { void cnnproc_httphook_init() {} }
namespace saveframe { void modinit() {} }
namespace modem { void modinit() {} }
namespace geninfo { void gen_httphook_init() {} }
// clang-format on
