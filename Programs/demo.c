/* A small embedding program: starts the runtime, builds a few objects
 * through the C API and prints them. */
#include "zuvo.h"

/* Prints `o` under a label and releases it; reports a failed call. */
static int show(const char *label, ZvObject *o)
{
    if (o == NULL) {
        fprintf(stderr, "%s: failed\n", label);
        ZvErr_Clear();
        return 1;
    }
    printf("%-8s ", label);
    ZvObject_Print(o, stdout, 0);
    printf("\n");
    Zv_DECREF(o);
    return 0;
}

int main(void)
{
    int failures = 0, i, n;
    ZvObject *text, *words, *counts, *big, *one, *two, *hundred;

    Zv_Initialize();

    /* Split a sentence, count the words in a dictionary, sort them. */
    text = ZvString_FromString("the quick brown fox jumps over the lazy dog");
    words = ZvObject_CallMethod(text, "split", NULL);
    counts = ZvDict_New();
    if (words == NULL || counts == NULL) return 1;
    n = ZvList_GET_SIZE(words);
    for (i = 0; i < n; i++) {
        ZvObject *w = ZvList_GET_ITEM(words, i);
        ZvObject *old = ZvDict_GetItem(counts, w);
        ZvObject *c = ZvInt_FromLong(old ? ZvInt_AsLong(old) + 1 : 1);
        ZvDict_SetItem(counts, w, c);
        Zv_DECREF(c);
    }
    ZvList_Sort(words);
    failures += show("sorted", words);
    failures += show("'the'", ZvObject_CallMethod(counts, "get", "s", "the"));
    Zv_DECREF(counts);
    Zv_DECREF(text);

    /* Integers promote to long integers exactly at the 32-bit boundary. */
    big = ZvInt_FromLong(2147483647);
    one = ZvInt_FromLong(1);
    two = ZvInt_FromLong(2);
    hundred = ZvInt_FromLong(100);
    failures += show("max+1", ZvNumber_Add(big, one));
    failures += show("2**100", ZvNumber_Power(two, hundred, Zv_None));
    Zv_DECREF(big);
    Zv_DECREF(one);
    Zv_DECREF(two);
    Zv_DECREF(hundred);

    Zv_Finalize();
    return failures != 0;
}
