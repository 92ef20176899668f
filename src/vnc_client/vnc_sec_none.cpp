// Security type None: nothing to exchange.
#include "vnc_security.h"

int vnc_sec_none(vnc_sec_ctx &) { return 0; }
