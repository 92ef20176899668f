// Every heap block the library takes goes through these, so that no
// allocation failure can escape as an exception and so that one place sees
// them all. They behave like their C counterparts: null on failure.
#ifndef QUENVIRA_VNC_ALLOC_H
#define QUENVIRA_VNC_ALLOC_H

#include <cstddef>

void *vnc_malloc(size_t size);
void *vnc_calloc(size_t count, size_t size);
void *vnc_realloc(void *block, size_t size);
void vnc_free(void *block);

// One allocation point is about to be passed: true when it must fail. For
// resources taken outside vnc_malloc.
bool vnc_alloc_fault();

#endif
