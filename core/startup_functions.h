// Start-up and exit functions of every module, one namespace per module.
// The registry (startup_registry.cpp) calls them in a fixed order; each
// module defines its own function in its folder. Functions of modules that
// are not built yet are empty stand-ins in startup_pending.cpp.
#pragma once

void init_do_nothing();

namespace updlens { void lens_httphook_init(); }         // devices: lens update route
namespace wrongdir { void modinit(); }                   // modules: wrong direction
namespace camreadcv { void opencv_read_init(); }         // capture: file playback threads
namespace stty { void modinit(); }                       // devices: serial controller board
namespace webcam { void cambuf_httphook_init(); }        // capture: index, camera and buffer pages
namespace test_sign { void testcrypto(); }               // evidence: nothing
namespace watchdog { void watchdog_httphook_init(); }    // capture: camera watchdog
namespace webcollage { void collage_httphook_init(); }   // evidence: collage test pages
namespace config_backup { void modinit(); }              // config: backup upload
namespace coltest { void collage_test_init(); }          // evidence: nothing
namespace heartbeat { void modinit(); }                  // modules: telemetry
namespace camera { void modinit(); }                     // capture: "usbcam" section, grabber
namespace lensweb { void lens_httphook_init(); }         // devices: lens and flash pages
namespace ntpsync { void modinit(); }                    // devices: NTP state
namespace carflow { void modinit(); }                    // modules: car flow
namespace common { void modinit(); }                     // evidence: storing, leftover temporaries
namespace frames { void init_frames(); void exit_frames(); }  // capture: camera registry
namespace config_upd { void modinit(); }                 // config: configuration pages
namespace spd_kormelino { void modinit(); }              // modules: speed, deployment variant
namespace frame { void frame_httphook_init(); }          // capture: frame endpoint
namespace webtrack { void tracks_httphook_init(); }      // recognition: track pages
namespace speed { void modinit(); }                      // modules: speed
namespace mask { void modinit(); }                       // modules: mask search
namespace diagnostics { void modinit(); }                // http: diagnostics page
namespace postframe { void modinit(); }                  // modules: feedback frame
namespace ticketsweb { void webinit(); }                 // evidence: tickets page
namespace basic { void mesure_httphook_init(); }         // http: measurement pages
namespace broadcast { void broadcast_init(); }           // evidence: nothing
namespace cnnweb { void cnnproc_httphook_init(); }       // recognition: status page
namespace gnss { void mesure_httphook_init(); }          // devices: GNSS route
namespace upload { void modinit(); }                     // evidence: lazy upload
namespace config_add { void modinit(); }                 // config: add and delete pages
namespace busline { void modinit(); }                    // modules: bus lane
namespace wd { void modinit(); }                         // devices: board keep-alive
namespace saveframe { void modinit(); }                  // modules: control frames
namespace modem { void modinit(); }                      // devices: modem
namespace baslerweb { void basler_httphook_init(); }     // capture: Basler pages
namespace camauto { void initfunc(); }                   // capture: automatic camera control
namespace geninfo { void gen_httphook_init(); }          // capture: camera information
namespace trackdump { void modinit(); }                  // modules: track dump
namespace directory { void directory_httphook_init(); }  // http: static folders
namespace angle { void modinit(); }                      // devices: tilt angle
namespace busline_kormelino { void modinit(); }          // modules: bus lane, deployment variant
