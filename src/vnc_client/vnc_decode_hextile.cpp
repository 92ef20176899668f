// Placeholder until the decoder lands: fails every rectangle.
#include "vnc_client_internal.h"

int decode_hextile_rect(vnc_decode_ctx &, int, int, int, int) { return -1; }
