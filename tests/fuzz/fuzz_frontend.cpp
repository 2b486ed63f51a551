// libFuzzer target for the front end: tokenizer, parser and (when the
// tree parses) the symbol-table pass, over string and stream input.
//
// The first input byte picks the start symbol and the input kind; the rest
// is the source.  Nothing here may crash, leak or read out of bounds,
// whatever the bytes.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "zuvo.h"
#include "zvfrontend.h"
#include "graminit.h"

#ifdef ZUVO_FUZZ_SYMTABLE
#include "symtable.h"
#endif

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Zv_Initialize();
    return 0;
}

namespace {

void analyse(node *tree)
{
#ifdef ZUVO_FUZZ_SYMTABLE
    struct symtable *st = ZvNode_CompileSymtable(tree, "<fuzz>");
    if (st) ZvSymtable_Free(st);
#else
    (void)tree;
#endif
    ZvErr_Clear();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) return 0;
    static const int starts[] = {file_input, eval_input, single_input};
    int start = starts[data[0] % 3];
    bool from_file = (data[0] >> 2) & 1;
    int flags = (data[0] >> 3) & 1 ? ZvPARSE_DONT_IMPLY_DEDENT : 0;
    std::string src((const char *)data + 1, size - 1);
    perrdetail err;
    node *n;
    if (from_file) {
        FILE *fp = fmemopen((void *)src.data(), src.size(), "rb");
        if (fp == nullptr) return 0;
        n = ZvParser_ParseFileFlags(fp, "<fuzz>", &_ZvParser_Grammar, start, nullptr, nullptr,
                                    &err, flags);
        std::fclose(fp);
    } else {
        n = ZvParser_ParseStringFlagsFilename(src.c_str(), "<fuzz>", &_ZvParser_Grammar, start,
                                              &err, flags);
    }
    if (n != nullptr) {
        analyse(n);
        ZvNode_Free(n);
    }
    ZvObject_Free(err.text);
    ZvErr_Clear();
    return 0;
}
