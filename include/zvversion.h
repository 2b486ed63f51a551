/* What this interpreter is: its version, how it was built and where it
 * runs.  sys.version, sys.platform and the interactive banner show these. */
#ifndef ZVVERSION_H
#define ZVVERSION_H

#include "zvport.h"

ZV_BEGIN_DECLS

#define ZUVO_VERSION "2.4.3"
/* 2, 4, 3, release level 0xF (final), serial 0. */
#define ZUVO_VERSION_HEX 0x020403F0

/* "2.4.3 (#1, <date>, <time>) \n[GCC <version>]". */
ZvAPI_FUNC(const char *) Zv_GetVersion(void);
/* This host's platform name ("linux" on Linux). */
ZvAPI_FUNC(const char *) Zv_GetPlatform(void);
ZvAPI_FUNC(const char *) Zv_GetCopyright(void);
/* The compiler that built the library, bracketed, after a newline. */
ZvAPI_FUNC(const char *) Zv_GetCompiler(void);
/* "#<build number>, <date>, <time>". */
ZvAPI_FUNC(const char *) Zv_GetBuildInfo(void);

ZV_END_DECLS

#endif /* ZVVERSION_H */
