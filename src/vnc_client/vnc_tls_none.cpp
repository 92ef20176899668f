// A build without a TLS backend: every TLS type is refused with a text
// that says so.
#include "vnc_tls.h"

bool vnc_tls_available() { return false; }

int vnc_tls_start(vnc_sec_ctx &ctx, const vnc_tls_config &) {
    return vnc_sec_fail(ctx, "This build of the library has no TLS",
                        "The chosen security type needs TLS, which this build of the library "
                        "lacks; choose another with the security option");
}
