/* An embedder written in plain C: the public headers must compile as C and
 * the exported functions must link with C linkage. */
#include "zuvo.h"

#include <string.h>

static int failures = 0;

#define CHECK(cond)                                                            \
    do {                                                                       \
        if (!(cond)) {                                                         \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            failures++;                                                        \
        }                                                                      \
    } while (0)

int main(void)
{
    ZvObject *d, *k, *v, *l, *r;

    Zv_Initialize();

    d = ZvDict_New();
    k = ZvString_InternFromString("answer");
    v = ZvInt_FromLong(42);
    CHECK(d != NULL && k != NULL && v != NULL);
    CHECK(ZvDict_SetItem(d, k, v) == 0);
    CHECK(ZvDict_GetItemString(d, "answer") == v);
    CHECK(ZvInt_AsLong(ZvDict_GetItem(d, k)) == 42);

    l = ZvList_New(0);
    CHECK(ZvList_Append(l, k) == 0 && ZvList_Append(l, v) == 0);
    r = ZvObject_Repr(l);
    CHECK(r != NULL && strcmp(ZvString_AsString(r), "['answer', 42]") == 0);

    /* Misuse is reported, not crashed on. */
    CHECK(ZvList_Append(d, v) == -1);
    CHECK(ZvErr_ExceptionMatches(ZvExc_SystemError));
    ZvErr_Clear();

    Zv_XDECREF(r);
    Zv_DECREF(l);
    Zv_DECREF(v);
    Zv_DECREF(k);
    Zv_DECREF(d);
    Zv_Finalize();

    printf("%d passed, %d failed\n", failures ? 0 : 1, failures ? 1 : 0);
    return failures != 0;
}
