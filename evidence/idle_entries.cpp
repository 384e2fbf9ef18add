// Start-up entries of evidence modules that wire nothing: the signing
// self-test, the collage test and the presence broadcaster are not started on
// the unit, but keep their places in the start-up order.
#include "core/startup_functions.h"

namespace test_sign {
void testcrypto() {}
}  // namespace test_sign

namespace coltest {
void collage_test_init() {}
}  // namespace coltest

namespace broadcast {
void broadcast_init() {}
}  // namespace broadcast
