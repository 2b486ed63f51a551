/* The version, build, compiler, platform and copyright texts.  Each is
 * made once; the build date and time are those of this file's compilation. */
#include "zuvo.h"

#include <stdio.h>

namespace {

/* The build number of a release build; local builds are all number 1. */
constexpr int kBuildNumber = 1;

} // namespace

extern "C" {

const char *Zv_GetCompiler(void)
{
#if defined(__clang__)
    return "\n[Clang " __clang_version__ "]";
#elif defined(__GNUC__)
    return "\n[GCC " __VERSION__ "]";
#else
    return "\n[unknown compiler]";
#endif
}

const char *Zv_GetBuildInfo(void)
{
    static char info[50];
    if (info[0] == '\0')
        snprintf(info, sizeof info, "#%d, %.20s, %.9s", kBuildNumber, __DATE__, __TIME__);
    return info;
}

const char *Zv_GetVersion(void)
{
    static char version[250];
    if (version[0] == '\0')
        snprintf(version, sizeof version, "%.80s (%.80s) %.80s", ZUVO_VERSION, Zv_GetBuildInfo(),
                 Zv_GetCompiler());
    return version;
}

const char *Zv_GetPlatform(void)
{
#if defined(__linux__)
    return "linux";
#elif defined(__APPLE__)
    return "darwin";
#elif defined(__FreeBSD__)
    return "freebsd";
#else
    return "unknown";
#endif
}

const char *Zv_GetCopyright(void)
{
    return "Copyright (c) The Zuvo developers.\nAll Rights Reserved.";
}

} // extern "C"
