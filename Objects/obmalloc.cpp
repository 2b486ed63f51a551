/* The object allocator front-ends.
 *
 * This first version hands every request to the system allocator; the
 * pooled small-object allocator replaces it. */
#include "objimpl.h"

#include <stdlib.h>

extern "C" {

void *ZvMem_Malloc(size_t n) { return malloc(n ? n : 1); }

void *ZvMem_Realloc(void *p, size_t n) { return realloc(p, n ? n : 1); }

void ZvMem_Free(void *p) { ZvObject_Free(p); }

void *ZvObject_Malloc(size_t n) { return malloc(n ? n : 1); }

void *ZvObject_Realloc(void *p, size_t n)
{
    void *r = realloc(p, n ? n : 1);
    return r ? r : (n == 0 ? p : nullptr);
}

void ZvObject_Free(void *p) { free(p); }

} // extern "C"
