// The built-in loopback RFB server: internals shared with the tests.
// The host starts and stops it through vnc_test_server_start/_stop.
#ifndef QUENVIRA_VNC_MOCK_SERVER_H
#define QUENVIRA_VNC_MOCK_SERVER_H

#include "vnc_socket.h"

// Serves clients on listener, one after another, until the server's running
// flag is cleared. Runs on the server's own thread; ends promptly once the
// flag is cleared (every wait it makes is cancelled by the flag).
void mock_server_thread_proc(vnc_socket_t listener);

// TCP port the running test server listens on (useful after starting it on
// port 0, which lets the system choose), or -1 when no server runs.
int mock_server_bound_port();

#endif
