/* What the pieces of the import system share: the search, the loaders,
 * the built-in and frozen tables.  Names live in namespace zv::imp. */
#ifndef ZV_IMPORT_INTERNAL_H
#define ZV_IMPORT_INTERNAL_H

#include "zuvo.h"
#include "zvref.h"

#include <stdio.h>
#include <string>

namespace zv::imp {

/* Names and paths are limited to this many characters: a longer module name
 * is refused and a longer candidate path is never tried, so every name the
 * system handles fits the buffers callers of _ZvImport_FindModule pass. */
constexpr size_t MAXPATHLEN = 1024;

/* The magic number of this build (the base value, plus one under -U). */
long magic();

/* Prints one line of the -v trace to the process's error stream when the
 * verbosity is at least `level`. */
void trace(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

/* The search.  `buf` receives the path found (or the module name for
 * built-in and frozen modules); *fp an open stream for files; *loader
 * (when `loader` is not NULL, which enables the hooks) the hook's loader. */
filedescr *find_module(const char *fullname, const char *subname, ZvObject *path,
                       std::string &buf, FILE **fp, ZvObject **loader);
/* Loads what find_module found under the module name `name`. */
ZvObject *load_module(const char *name, FILE *fp, const std::string &pathname, int type,
                      ZvObject *loader);

/* Source and bytecode files, with the .zvc cache beside the source. */
ZvObject *load_source_module(const char *name, const char *pathname, FILE *fp);
ZvObject *load_compiled_module(const char *name, const char *cpathname, FILE *fp);
ZvObject *load_package(const char *name, const char *pathname);

/* The built-in table: 1 initialized, 0 not in the table, -1 error. */
int init_builtin(const char *name);
/* -1 not built in, 0 built in without init function, 1 with one. */
int find_builtin(const char *name);
const _frozen *find_frozen(const char *name);
/* Makes the frozen test modules' code (once per process). */
void init_frozen_table();
/* The builtin_module_names tuple for sys. */
ZvObject *builtin_module_names();

/* The import lock, recursive per thread.  unlock_import: 1 released, 0
 * locking is off (no thread id), -1 this thread does not hold it. */
void lock_import();
int unlock_import();
bool import_lock_held();

/* Fixes the bytecode suffix and the magic number for the flags in force
 * (-O, -U); run at every start-up. */
void init_filetab();
/* Empties the extension store (last thing at shut-down). */
void clear_extensions();

/* The imp module's creation function (an entry of the built-in table). */
void initimp();

} // namespace zv::imp

#endif // ZV_IMPORT_INTERNAL_H
