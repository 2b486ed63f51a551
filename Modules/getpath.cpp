/* The module search path and the installation it comes from.
 *
 * An installation is laid out as
 *
 *     <prefix>/bin/zuvo
 *     <prefix>/lib/libzuvo.so
 *     <prefix>/lib/zuvo2.4/              library modules written in Zuvo
 *     <exec_prefix>/lib/zuvo2.4/lib-dynload/   native extension modules
 *
 * and may be moved as a whole, so the prefix is found from the running
 * program rather than fixed at build time:
 *
 * 1. ZUVOHOME (or Zv_SetZuvoHome) names it, as "prefix" or
 *    "prefix:exec_prefix".
 * 2. Otherwise the program's full path is found (its name as given when it
 *    holds a '/', else searched on PATH) and its symbolic links resolved;
 *    when the directory above it holds lib/zuvo2.4, that is the prefix
 *    (the program is <prefix>/bin/zuvo).  When the program lies inside the
 *    build tree, the source tree's Lib/ is the library and the build tree
 *    holds the extension modules, so a freshly built `zuvo` runs without
 *    being installed.
 * 3. Otherwise the same two tests on the directory of libzuvo itself, so
 *    that embedding programs kept elsewhere find the installation (or the
 *    build tree) of the library they run on.
 * 4. Otherwise each directory above the program is tried until one holds
 *    lib/zuvo2.4.
 * 5. Failing that, the prefix the build was configured with.
 *
 * The path is the ZUVOPATH entries first (unless the environment is
 * ignored), then the library directory, then the extension directory.
 * It is worked out once, on first use, and forgotten at shut-down, so a
 * runtime started again sees a changed home or environment. */
#include "zuvo.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#ifndef ZUVO_PREFIX
#define ZUVO_PREFIX "/usr/local"
#endif
#ifndef ZUVO_SOURCE_DIR
#define ZUVO_SOURCE_DIR ""
#endif
#ifndef ZUVO_BUILD_DIR
#define ZUVO_BUILD_DIR ""
#endif

namespace {

struct Layout {
    bool computed = false;
    std::string program_full_path;
    std::string prefix;
    std::string exec_prefix;
    std::string module_search_path;
};

Layout layout;

bool is_dir(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_executable_file(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string dirname_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return "";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string absolute(const std::string &path)
{
    if (path.empty() || path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return path;
    std::string r = cwd;
    if (r.back() != '/') r += '/';
    r += path.compare(0, 2, "./") == 0 ? path.substr(2) : path;
    return r;
}

std::string real_path(const std::string &path)
{
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) != nullptr ? std::string(buf) : path;
}

/* The program as a full path: its name when that holds a '/', else the
 * first executable of that name on PATH; "" when it cannot be found (an
 * embedding program that kept the default name). */
std::string find_program(const char *name)
{
    if (strchr(name, '/') != nullptr) return absolute(name);
    const char *path = getenv("PATH");
    if (path == nullptr) return "";
    for (const char *p = path;; p++) {
        const char *end = strchr(p, ':');
        std::string dir = end != nullptr ? std::string(p, end) : std::string(p);
        /* An empty entry is the current directory (appended: assigning "."
         * trips a false -Wrestrict warning in g++ 12). */
        if (dir.empty()) dir.push_back('.');
        std::string candidate = absolute(dir + "/" + name);
        if (is_executable_file(candidate)) return candidate;
        if (end == nullptr) return "";
        p = end;
    }
}

/* Whether dir is the build tree or lies inside it. */
bool in_build_tree(const std::string &dir)
{
    if (*ZUVO_BUILD_DIR == '\0' || dir.empty()) return false;
    std::string build = real_path(ZUVO_BUILD_DIR);
    return dir.compare(0, build.size(), build) == 0 &&
           (dir.size() == build.size() || dir[build.size()] == '/');
}

/* The nearest directory from dir upwards that holds lib/zuvo2.4, or "". */
std::string search_prefix(std::string dir)
{
    while (!dir.empty()) {
        if (is_dir(dir + "/lib/" ZUVO_LIBDIR_NAME)) return dir;
        if (dir == "/") break;
        dir = dirname_of(dir);
    }
    return "";
}

/* The directory holding this library (libzuvo), for embedding programs
 * that live elsewhere; "" when the loader cannot tell. */
std::string library_dir()
{
    Dl_info info;
    if (dladdr((void *)&Zv_GetPath, &info) == 0 || info.dli_fname == nullptr) return "";
    return dirname_of(real_path(absolute(info.dli_fname)));
}

/* Finds the installation from a directory holding the program or the
 * library: the installed layout (<prefix>/bin, <prefix>/lib) or the build
 * tree.  False when dir shows neither. */
bool layout_from(const std::string &dir, Layout &l, std::string &libdir, std::string &dyndir)
{
    if (dir.empty()) return false;
    std::string parent = dirname_of(dir);
    if (is_dir(parent + "/lib/" ZUVO_LIBDIR_NAME)) {
        l.prefix = l.exec_prefix = parent;
        return true;
    }
    if (!in_build_tree(dir)) return false;
    l.prefix = ZUVO_SOURCE_DIR;
    l.exec_prefix = ZUVO_BUILD_DIR;
    libdir = l.prefix + "/Lib";
    dyndir = l.exec_prefix + "/lib-dynload";
    return true;
}

void compute_layout()
{
    Layout &l = layout;
    l.program_full_path = find_program(Zv_GetProgramName());
    std::string libdir, dyndir;
    const char *home = Zv_GetZuvoHome();
    std::string progdir =
        l.program_full_path.empty() ? "" : dirname_of(real_path(l.program_full_path));
    if (home != nullptr) {
        const char *colon = strchr(home, ':');
        l.prefix = colon != nullptr ? std::string(home, colon) : std::string(home);
        l.exec_prefix = colon != nullptr ? std::string(colon + 1) : l.prefix;
    } else if (!layout_from(progdir, l, libdir, dyndir) &&
               !layout_from(library_dir(), l, libdir, dyndir)) {
        l.prefix = search_prefix(progdir);
        if (l.prefix.empty()) l.prefix = ZUVO_PREFIX;
        l.exec_prefix = l.prefix;
    }
    if (libdir.empty()) {
        libdir = l.prefix + "/lib/" ZUVO_LIBDIR_NAME;
        dyndir = l.exec_prefix + "/lib/" ZUVO_LIBDIR_NAME "/lib-dynload";
    }
    const char *zuvopath = Zv_IgnoreEnvironmentFlag ? nullptr : getenv("ZUVOPATH");
    l.module_search_path.clear();
    if (zuvopath != nullptr && *zuvopath != '\0') {
        l.module_search_path = zuvopath;
        l.module_search_path += ':';
    }
    l.module_search_path += libdir + ":" + dyndir;
    l.computed = true;
}

Layout &get_layout()
{
    if (!layout.computed) compute_layout();
    return layout;
}

} // namespace

extern "C" {

char *Zv_GetPath(void) { return get_layout().module_search_path.data(); }
char *Zv_GetPrefix(void) { return get_layout().prefix.data(); }
char *Zv_GetExecPrefix(void) { return get_layout().exec_prefix.data(); }
char *Zv_GetProgramFullPath(void) { return get_layout().program_full_path.data(); }

/* Shut-down: the next start-up works the layout out again. */
void _ZvPath_Fini(void) { layout = Layout(); }

} // extern "C"
