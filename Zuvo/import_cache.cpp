/* Source and bytecode modules, and the bytecode cache beside the source.
 *
 * A bytecode file (.zvc, .zvo under -O) is the magic number, the source's
 * modification time in seconds, then one marshalled code object; every
 * integer little-endian.  A cache whose magic or time does not match its
 * source is ignored, and so is one whose code cannot be read back or does
 * not pass the bytecode verifier: the source is compiled again and the
 * cache rewritten.  Writing the cache never fails an import.  The time is
 * written last, after the code, so a reader never trusts a file whose
 * writing was cut short (its time is still 0). */
#include "import_internal.h"
#include "zvfrontend.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

using zv::Ref;
using namespace zv::imp;

namespace {

/* Modification time, seconds, as the 32-bit value the file stores; -1 when
 * it cannot be had. */
long get_mtime(FILE *fp)
{
    struct stat st;
    if (fstat(fileno(fp), &st) != 0) return -1;
    return (long)(int32_t)(uint32_t)st.st_mtime;
}

/* The bytecode path for a source path: "c" (or "o") appended; empty when
 * it would not fit, and then no cache is read or written. */
std::string compiled_pathname(const char *pathname)
{
    size_t len = strlen(pathname);
    if (len + 2 > MAXPATHLEN + 1) return std::string();
    return std::string(pathname) + (Zv_OptimizeFlag ? "o" : "c");
}

/* Opens the cache when its magic and time match the source; positioned at
 * the code object. */
FILE *check_compiled_module(const char *pathname, long mtime, const std::string &cpathname)
{
    FILE *fp = fopen(cpathname.c_str(), "rb");
    if (fp == nullptr) return nullptr;
    long magic_read = ZvMarshal_ReadLongFromFile(fp);
    if (magic_read != magic()) {
        trace(1, "# %s has bad magic\n", cpathname.c_str());
        fclose(fp);
        return nullptr;
    }
    long stored = ZvMarshal_ReadLongFromFile(fp);
    if (stored != mtime) {
        trace(1, "# %s has bad mtime\n", cpathname.c_str());
        fclose(fp);
        return nullptr;
    }
    trace(1, "# %s matches %s\n", cpathname.c_str(), pathname);
    return fp;
}

/* The code object after the header; NULL with ImportError for anything
 * else. */
ZvObject *read_compiled_module(const char *cpathname, FILE *fp)
{
    Ref co(ZvMarshal_ReadLastObjectFromFile(fp));
    if (!co) return nullptr;
    if (!ZvCode_Check(co.get())) {
        ZvErr_Format(ZvExc_ImportError, "Non-code object in %.200s", cpathname);
        return nullptr;
    }
    return co.release();
}

/* The cached code when the cache matches and reads back whole; NULL (with
 * no error) when the source must be compiled. */
ZvObject *read_cache(const char *pathname, long mtime, const std::string &cpathname)
{
    if (cpathname.empty()) return nullptr;
    FILE *fp = check_compiled_module(pathname, mtime, cpathname);
    if (fp == nullptr) return nullptr;
    Ref co(read_compiled_module(cpathname.c_str(), fp));
    fclose(fp);
    if (co && _ZvCode_Verify((ZvCodeObject *)co.get()) == 0) {
        ((ZvCodeObject *)co.get())->co_zvverified = 1;
        return co.release();
    }
    if (ZvErr_ExceptionMatches(ZvExc_MemoryError)) return nullptr;
    ZvErr_Clear();
    trace(1, "# %s is corrupt\n", cpathname.c_str());
    return nullptr;
}

ZvObject *parse_source_module(const char *pathname, FILE *fp)
{
    node *n = ZvParser_SimpleParseFile(fp, pathname, Zv_file_input);
    if (n == nullptr) return nullptr;
    ZvObject *co = ZvNode_CompileFlags(n, pathname, nullptr);
    ZvNode_Free(n);
    return co;
}

/* Creates the cache file afresh: whatever was there is removed first, and
 * the new file is created exclusively so that two processes never write
 * into one file. */
FILE *open_exclusive(const std::string &path)
{
    (void)unlink(path.c_str());
    int fd = open(path.c_str(), O_EXCL | O_CREAT | O_WRONLY | O_TRUNC, 0666);
    if (fd < 0) return nullptr;
    FILE *fp = fdopen(fd, "wb");
    if (fp == nullptr) close(fd);
    return fp;
}

void write_compiled_module(ZvObject *co, const std::string &cpathname, long mtime)
{
    FILE *fp = open_exclusive(cpathname);
    if (fp == nullptr) {
        trace(1, "# can't create %s\n", cpathname.c_str());
        return;
    }
    ZvMarshal_WriteLongToFile(magic(), fp, Zv_MARSHAL_VERSION);
    /* 0 until the code is all there. */
    ZvMarshal_WriteLongToFile(0L, fp, Zv_MARSHAL_VERSION);
    ZvMarshal_WriteObjectToFile(co, fp, Zv_MARSHAL_VERSION);
    bool failed = ZvErr_Occurred() != nullptr || fflush(fp) != 0 || ferror(fp);
    if (!failed) {
        failed = fseek(fp, 4L, SEEK_SET) != 0;
        if (!failed) ZvMarshal_WriteLongToFile(mtime, fp, Zv_MARSHAL_VERSION);
        failed = failed || fflush(fp) != 0 || ferror(fp);
    }
    if (fclose(fp) != 0) failed = true;
    if (failed) {
        ZvErr_Clear();
        trace(1, "# can't write %s\n", cpathname.c_str());
        (void)unlink(cpathname.c_str());
        return;
    }
    trace(1, "# wrote %s\n", cpathname.c_str());
}

} // namespace

ZvObject *zv::imp::load_source_module(const char *name, const char *pathname, FILE *fp)
{
    long mtime = get_mtime(fp);
    if (mtime == -1) {
        ZvErr_Format(ZvExc_RuntimeError, "unable to get modification time from '%s'", pathname);
        return nullptr;
    }
    std::string cpathname = compiled_pathname(pathname);
    Ref co(read_cache(pathname, mtime, cpathname));
    if (ZvErr_Occurred()) return nullptr;
    if (co) {
        trace(1, "import %s # precompiled from %s\n", name, cpathname.c_str());
        return ZvImport_ExecCodeModuleEx(name, co.get(), cpathname.c_str());
    }
    co.reset(parse_source_module(pathname, fp));
    if (!co) return nullptr;
    trace(1, "import %s # from %s\n", name, pathname);
    if (!cpathname.empty()) write_compiled_module(co.get(), cpathname, mtime);
    return ZvImport_ExecCodeModuleEx(name, co.get(), pathname);
}

ZvObject *zv::imp::load_compiled_module(const char *name, const char *cpathname, FILE *fp)
{
    if (ZvMarshal_ReadLongFromFile(fp) != magic()) {
        ZvErr_Format(ZvExc_ImportError, "Bad magic number in %.200s", cpathname);
        return nullptr;
    }
    (void)ZvMarshal_ReadLongFromFile(fp);
    Ref co(read_compiled_module(cpathname, fp));
    if (!co) return nullptr;
    trace(1, "import %s # precompiled from %s\n", name, cpathname);
    return ZvImport_ExecCodeModuleEx(name, co.get(), cpathname);
}
