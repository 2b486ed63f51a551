/* A tiny native extension module for the import tests: built as
 * spammodule.so, imported by name and called. */
#include "zuvo.h"

static ZvObject *spam_add(ZvObject *self, ZvObject *args)
{
    long a, b;
    (void)self;
    if (!ZvArg_ParseTuple(args, "ll:add", &a, &b)) return NULL;
    return ZvInt_FromLong(a + b);
}

static ZvMethodDef spam_methods[] = {
    {"add", spam_add, METH_VARARGS, "add(a, b) -> a + b"},
    {NULL, NULL, 0, NULL},
};

void initspam(void)
{
    ZvObject *m = Zv_InitModule("spam", spam_methods);
    if (m != NULL) ZvModule_AddStringConstant(m, "greeting", "spam, spam");
}
