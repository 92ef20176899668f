#include "vnc_alloc.h"

#include <cstdlib>

void *vnc_malloc(size_t size) { return std::malloc(size ? size : 1); }

void *vnc_calloc(size_t count, size_t size) { return std::calloc(count ? count : 1, size ? size : 1); }

void *vnc_realloc(void *block, size_t size) { return std::realloc(block, size ? size : 1); }

void vnc_free(void *block) { std::free(block); }

bool vnc_alloc_fault() { return false; }
