#include "core/startup_registry.h"

#include "core/startup_functions.h"

#include <array>

void init_do_nothing() {}

namespace {

#define ENTRY(module, ns, fn) RegistryEntry{module, #fn, &ns::fn}
#define NOTHING(module) RegistryEntry{module, "init_do_nothing", &init_do_nothing}

// Position in the array is the call order (89 entries, 0..88).
constexpr std::array kStartup{
    ENTRY("updlens", updlens, lens_httphook_init),                NOTHING("updlens"),            // 0
    ENTRY("wrongdir", wrongdir, modinit),                         NOTHING("wrongdir"),           // 2
    ENTRY("camreadcv", camreadcv, opencv_read_init),              NOTHING("camreadcv"),          // 4
    ENTRY("stty", stty, modinit),                                 NOTHING("stty"),               // 6
    ENTRY("webcam", webcam, cambuf_httphook_init),                NOTHING("webcam"),             // 8
    ENTRY("test-sign", test_sign, testcrypto),                    NOTHING("test-sign"),          // 10
    ENTRY("watchdog", watchdog, watchdog_httphook_init),          NOTHING("watchdog"),           // 12
    ENTRY("webcollage", webcollage, collage_httphook_init),       NOTHING("webcollage"),         // 14
    ENTRY("config-backup", config_backup, modinit),               NOTHING("config-backup"),      // 16
    ENTRY("coltest", coltest, collage_test_init),                 NOTHING("coltest"),            // 18
    ENTRY("heartbeat", heartbeat, modinit),                       NOTHING("heartbeat"),          // 20
    ENTRY("camera", camera, modinit),                             NOTHING("camera"),             // 22
    NOTHING("xmltest"),                                                                          // 24
    ENTRY("web", lensweb, lens_httphook_init),                    NOTHING("web"),                // 25
    ENTRY("ntpsync", ntpsync, modinit),                           NOTHING("ntpsync"),            // 27
    ENTRY("carflow", carflow, modinit),                           NOTHING("carflow"),            // 29
    ENTRY("common", common, modinit),                                                            // 31
    NOTHING("main"),                                                                             // 32
    ENTRY("frames", frames, init_frames),                         NOTHING("frames"),             // 33
    ENTRY("config-upd", config_upd, modinit),                     NOTHING("config-upd"),         // 35
    ENTRY("spd-kormelino", spd_kormelino, modinit),               NOTHING("spd-kormelino"),      // 37
    ENTRY("frame", frame, frame_httphook_init),                   NOTHING("frame"),              // 39
    ENTRY("webtrack", webtrack, tracks_httphook_init),            NOTHING("webtrack"),           // 41
    ENTRY("speed", speed, modinit),                               NOTHING("speed"),              // 43
    ENTRY("mask", mask, modinit),                                 NOTHING("mask"),               // 45
    ENTRY("diagnostics", diagnostics, modinit),                   NOTHING("diagnostics"),        // 47
    ENTRY("postframe", postframe, modinit),                       NOTHING("postframe"),          // 49
    ENTRY("web", ticketsweb, webinit),                            NOTHING("web"),                // 51
    ENTRY("basic", basic, mesure_httphook_init),                  NOTHING("basic"),              // 53
    NOTHING("collage"),                                                                          // 55
    ENTRY("broadcast", broadcast, broadcast_init),                NOTHING("broadcast"),          // 56
    ENTRY("cnnweb", cnnweb, cnnproc_httphook_init),               NOTHING("cnnweb"),             // 58
    ENTRY("gnss", gnss, mesure_httphook_init),                    NOTHING("gnss"),               // 60
    ENTRY("upload", upload, modinit),                             NOTHING("upload"),             // 62
    ENTRY("config-add", config_add, modinit),                     NOTHING("config-add"),         // 64
    ENTRY("busline", busline, modinit),                           NOTHING("busline"),            // 66
    NOTHING("resqueue"),                                                                         // 68
    ENTRY("wd", wd, modinit),                                     NOTHING("wd"),                 // 69
    ENTRY("saveframe", saveframe, modinit),                       NOTHING("saveframe"),          // 71
    ENTRY("modem", modem, modinit),                               NOTHING("modem"),              // 73
    ENTRY("web", baslerweb, basler_httphook_init),                NOTHING("web"),                // 75
    ENTRY("auto", camauto, initfunc),                             NOTHING("auto"),               // 77
    ENTRY("geninfo", geninfo, gen_httphook_init),                 NOTHING("geninfo"),            // 79
    ENTRY("trackdump", trackdump, modinit),                       NOTHING("trackdump"),          // 81
    ENTRY("directory", directory, directory_httphook_init),       NOTHING("directory"),          // 83
    ENTRY("angle", angle, modinit),                               NOTHING("angle"),              // 85
    ENTRY("busline-kormelino", busline_kormelino, modinit),       NOTHING("busline-kormelino"),  // 87
};
static_assert(kStartup.size() == 89);

constexpr std::array kExit{
    ENTRY("frames", frames, exit_frames),
};

#undef ENTRY
#undef NOTHING

}  // namespace

std::span<const RegistryEntry> startupRegistry() { return kStartup; }
std::span<const RegistryEntry> exitRegistry() { return kExit; }

void runStartupRegistry() {
  for (const auto& e : kStartup) e.call();
}

void runExitRegistry() {
  for (const auto& e : kExit) e.call();
}
