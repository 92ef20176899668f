#include "vnc_security_io.h"

#include <cstdarg>
#include <cstdio>

int vnc_security_io::failf(const char *fmt, ...) {
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    return fail(text);
}
