// Placeholder until the loopback test server lands.
#include "quenvira_vnc.h"

extern "C" {
VNC_API int vnc_test_server_start(int, const char *) { return -1; }
VNC_API void vnc_test_server_stop(void) {}
}
