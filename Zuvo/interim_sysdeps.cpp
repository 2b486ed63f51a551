/* Interim: weak stand-ins for what the sys module reads from pieces still
 * being built elsewhere -- the unicode default encoding -- so that sys
 * links and works before them.  The real definitions override these at
 * link time; this file goes once they are all in. */
#include "zuvo.h"

#include <ctype.h>
#include <string.h>

extern "C" {
const char *ZvUnicode_GetDefaultEncoding(void);
int ZvUnicode_SetDefaultEncoding(const char *encoding);
}

namespace {

char interim_default_encoding[100] = "ascii";

/* Encodings whose codecs are built into the unicode type; without the
 * codec registry these are all that can be looked up. */
bool builtin_encoding(const char *name)
{
    static const char *const names[] = {"ascii", "utf-8", "utf8", "latin-1", "latin1",
                                        "iso-8859-1", "iso8859-1"};
    for (const char *n : names) {
        const char *a = n, *b = name;
        while (*a && tolower((unsigned char)*b) == *a) a++, b++;
        if (*a == '\0' && *b == '\0') return true;
    }
    return false;
}

} // namespace

extern "C" {

__attribute__((weak)) const char *ZvUnicode_GetDefaultEncoding(void)
{
    return interim_default_encoding;
}

__attribute__((weak)) int ZvUnicode_SetDefaultEncoding(const char *encoding)
{
    if (!builtin_encoding(encoding) || strlen(encoding) >= sizeof interim_default_encoding) {
        ZvErr_Format(ZvExc_LookupError, "unknown encoding: %s", encoding);
        return -1;
    }
    strcpy(interim_default_encoding, encoding);
    return 0;
}

} // extern "C"
