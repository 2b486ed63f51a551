// The import system against real files: modules and packages written into
// a fresh temporary directory for each test (removed afterwards), imported
// by Zuvo code whose printed output is compared with what it must be.
#include "zvtest.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <fstream>
#include <sstream>

namespace {

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

// Standing in for the built-in open() of the file-object family where it
// is not linked: reads a whole file into a list of lines (IOError when it
// cannot), enough for linecache.
ZvObject *read_lines(ZvObject *, ZvObject *args)
{
    const char *path;
    if (!ZvArg_ParseTuple(args, "s", &path)) return nullptr;
    struct stat st;
    std::ifstream in(path, std::ios::binary);
    if (!in || stat(path, &st) != 0 || S_ISDIR(st.st_mode)) {
        ZvErr_SetString(ZvExc_IOError, "cannot read file");
        return nullptr;
    }
    ZvObject *lines = ZvList_New(0);
    std::string line;
    while (std::getline(in, line)) {
        if (!in.eof()) line += '\n';
        ZvObject *s = ZvString_FromStringAndSize(line.data(), (int)line.size());
        ZvList_Append(lines, s);
        Zv_DECREF(s);
    }
    return lines;
}

ZvMethodDef read_lines_def = {"_read_lines", read_lines, METH_VARARGS, nullptr};

const char *harness = R"(
import sys
class _Out:
    def __init__(self):
        self.parts = []
        self.softspace = 0
    def write(self, s):
        self.parts.append(s)
class _StandInFile:
    def __init__(self, name, mode='r'):
        self.lines = _read_lines(name)
    def readlines(self):
        return self.lines
    def close(self):
        pass
import __builtin__
if not hasattr(__builtin__, 'open'):
    __builtin__.open = _StandInFile
)";

class ImportTest : public ZvTest {
protected:
    std::string dir;
    ZvObject *globals = nullptr;

    void SetUp() override
    {
        char tmpl[] = "/tmp/zvimport-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        globals = ZvDict_New();
        ZvDict_SetItemString(globals, "__builtins__", ZvEval_GetBuiltins());
        ZvDict_SetItemString(globals, "__name__", Owned(ZvString_FromString("__main__")));
        ZvDict_SetItemString(globals, "TMP", Owned(ZvString_FromString(dir.c_str())));
        ZvDict_SetItemString(globals, "_read_lines",
                             Owned(ZvCFunction_NewEx(&read_lines_def, nullptr, nullptr)));
        Owned r(ZvRun_String(harness, Zv_file_input, globals, globals));
        ASSERT_NE(r.get(), nullptr) << zv_error_text();
        ZvObject *current = ZvSys_GetObject("path");
        saved_path = ZvList_GetSlice(current, 0, ZvList_GET_SIZE(current));
        run("sys.path.insert(0, TMP)\n");
    }

    void TearDown() override
    {
        // Forget every module loaded from this directory.
        run("for k in sys.modules.keys():\n"
            "    m = sys.modules[k]\n"
            "    f = getattr(m, '__file__', None) or ''\n"
            "    if m is None or f.startswith(TMP) or k.startswith('t_'):\n"
            "        del sys.modules[k]\n"
            "sys.meta_path[:] = []\n"
            "sys.path_hooks[:] = []\n"
            "sys.path_importer_cache.clear()\n");
        ZvSys_SetObject("path", saved_path);
        Zv_XDECREF(saved_path);
        Zv_XDECREF(globals);
        if (chdir("/") != 0) ADD_FAILURE();
        nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
        ZvTest::TearDown();
    }

    ZvObject *saved_path = nullptr;

    std::string path(const std::string &rel) { return dir + "/" + rel; }

    // Writes a file (making its directories), with text `text`.
    void write(const std::string &rel, const std::string &text)
    {
        std::string p = path(rel);
        for (size_t i = dir.size() + 1; (i = p.find('/', i)) != std::string::npos; i++)
            mkdir(p.substr(0, i).c_str(), 0777);
        std::ofstream(p, std::ios::binary) << text;
    }

    std::string read(const std::string &rel)
    {
        std::ifstream in(path(rel), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    void set_mtime(const std::string &rel, time_t t)
    {
        struct utimbuf times = {t, t};
        ASSERT_EQ(utime(path(rel).c_str(), &times), 0);
    }

    // Runs code with stdout captured; an uncaught error is appended as
    // "!Name: message".
    std::string run(const std::string &code)
    {
        Owned out(ZvRun_String("_out = _Out()\nsys.stdout = _out\n", Zv_file_input, globals,
                               globals));
        Owned r(ZvRun_String(code.c_str(), Zv_file_input, globals, globals));
        std::string err;
        if (r.get() == nullptr) {
            ZvObject *t, *v, *tb;
            ZvErr_Fetch(&t, &v, &tb);
            ZvErr_NormalizeException(&t, &v, &tb);
            Owned name(ZvObject_GetAttrString(t, "__name__"));
            err = "!" + zv_str(name) + ": " + zv_str(v) + "\n";
            Zv_XDECREF(t);
            Zv_XDECREF(v);
            Zv_XDECREF(tb);
            ZvErr_Clear();
        }
        Owned text(ZvRun_String("''.join(_out.parts)", Zv_eval_input, globals, globals));
        ZvSys_SetObject("stdout", nullptr);
        return (text.get() ? zv_str(text) : "<no output>") + err;
    }
};

TEST_F(ImportTest, ModulesPackagesAndFromLists)
{
    write("t_mod.zv", "x = 1\ndef f(): return 'f'\n_private = 2\n");
    write("t_pkg/__init__.zv", "import t_mod\nimport os_like\nrel = t_mod.x\n");
    write("t_pkg/t_mod.zv", "x = 'relative'\n");
    write("t_pkg/sub/__init__.zv", "__all__ = ['c']\n");
    write("t_pkg/sub/c.zv", "name = __name__\n");
    write("t_pkg/sub/d.zv", "name = __name__\n");
    write("os_like.zv", "v = 'top'\n");
    write("t_nopkg/t_inner.zv", "x = 1\n");
    write("t_star.zv", "a = 1\n_b = 2\n");
    write("t_self.zv", "import sys\nsys.modules[__name__] = 'replaced'\n");
    write("t_fails.zv", "x = 1\nraise KeyError('boom')\n");
    write("t_pkg2/__init__.zv", "");
    write("t_pkg2/bad.zv", "raise ValueError('in bad')\n");
    EXPECT_EQ(run("import t_mod\nprint t_mod.x, t_mod.f(), t_mod.__name__, t_mod.__file__ == TMP + '/t_mod.zv'\n"),
              "1 f t_mod True\n");
    // Inside a package a name is tried relative first; the relative module
    // wins over the top-level one, and a miss is recorded as None.
    EXPECT_EQ(run("import t_pkg\nprint t_pkg.rel, t_pkg.t_mod.__name__\n"
                  "print sys.modules['t_pkg.os_like'], t_pkg.os_like.v\n"
                  "print t_pkg.__path__ == [TMP + '/t_pkg'], t_pkg.__file__ == TMP + '/t_pkg/__init__.zv'\n"),
              "relative t_pkg.t_mod\nNone top\nTrue True\n");
    // import a.b.c binds a; from a.b import c loads c; the from-list with *
    // follows __all__.
    EXPECT_EQ(run("r = __import__('t_pkg.sub.c')\nprint r.__name__, r.sub.c.name\n"
                  "r = __import__('t_pkg.sub', globals(), None, ['d'])\nprint r.__name__, r.d.name\n"
                  "from t_pkg.sub import *\nprint c.name\n"),
              "t_pkg t_pkg.sub.c\nt_pkg.sub t_pkg.sub.d\nt_pkg.sub.c\n");
    EXPECT_EQ(run("from t_star import *\nprint a, '_b' in globals()\n"), "1 False\n");
    // A directory without __init__ is no package.
    EXPECT_EQ(run("import t_nopkg\n"), "!ImportError: No module named t_nopkg\n");
    EXPECT_EQ(run("import t_self\nprint t_self\n"), "replaced\n");
    // A failing module leaves sys.modules; a failing submodule leaves its
    // package without the attribute.
    EXPECT_EQ(run("try:\n    import t_fails\nexcept KeyError, e:\n    print 'caught', e\n"
                  "print 't_fails' in sys.modules\n"),
              "caught 'boom'\nFalse\n");
    EXPECT_EQ(run("try:\n    import t_pkg2.bad\nexcept ValueError:\n    pass\n"
                  "import t_pkg2\nprint hasattr(t_pkg2, 'bad'), 't_pkg2.bad' in sys.modules\n"),
              "False False\n");
    // Bad names and bad from-lists.
    EXPECT_EQ(run("__import__('')\n"), "!ValueError: Empty module name\n");
    EXPECT_EQ(run("__import__('t_mod..x')\n"), "!ValueError: Empty module name\n");
    EXPECT_EQ(run("__import__('a' * 1025)\n"), "!ValueError: Module name too long\n");
    // A name of 1023 characters fits; one of 1024 does not.
    EXPECT_EQ(run("__import__('a' * 1023)\n"),
              "!ImportError: No module named " + std::string(200, 'a') + "\n");
    EXPECT_EQ(run("__import__('a' * 1024)\n"), "!ValueError: Module name too long\n");
    EXPECT_EQ(run("__import__('t_pkg.nothere.x')\n"), "!ImportError: No module named nothere.x\n");
    EXPECT_EQ(run("__import__('t_pkg', None, None, [1])\n"),
              "!TypeError: Item in ``from list'' not a string\n");
    EXPECT_EQ(run("from t_pkg import nothere\n"), "!ImportError: cannot import name nothere\n");
}

TEST_F(ImportTest, RelativeNamesNeedTheirPackage)
{
    // Code whose __name__ claims a package that is not loaded imports at the
    // top level, under the top-level name.
    write("t_top.zv", "v = 'top'\n");
    EXPECT_EQ(run("g = {'__name__': 'ghost.mod', '__builtins__': __builtins__}\n"
                  "exec 'import t_top' in g\n"
                  "print g['t_top'].__name__, 'ghost.t_top' in sys.modules\n"),
              "t_top False\n");
    // The importer's name stays alive while a hostile key of its globals
    // deletes it from under the lookup of __path__.
    EXPECT_EQ(run("g = {'__name__': ''.join(['ghost', '.mod'])}\n"
                  "class Evil:\n"
                  "    def __hash__(self): return hash('__path__')\n"
                  "    def __eq__(self, other):\n"
                  "        g.pop('__name__', None)\n"
                  "        return False\n"
                  "g[Evil()] = 1\n"
                  "print __import__('t_top', g).__name__\n"),
              "t_top\n");
}

TEST_F(ImportTest, TheBytecodeCache)
{
    write("t_c.zv", "print 'running', __file__.split('/')[-1]\n");
    set_mtime("t_c.zv", 1000000000);
    EXPECT_EQ(run("import t_c\n"), "running t_c.zv\n");
    std::string zvc = read("t_c.zvc");
    ASSERT_GE(zvc.size(), 9u);
    EXPECT_EQ(zvc.substr(0, 4), std::string("\x6d\xf2\x0d\x0a", 4));
    int32_t stored = (uint8_t)zvc[4] | (uint8_t)zvc[5] << 8 | (uint8_t)zvc[6] << 16 |
                     (uint8_t)zvc[7] << 24;
    EXPECT_EQ(stored, 1000000000);
    EXPECT_EQ(zvc[8], 'c');
    EXPECT_EQ(run("del sys.modules['t_c']\nimport t_c\n"), "running t_c.zvc\n");

    // A stale cache (the source changed since) is ignored and rewritten.
    write("t_c.zv", "print 'changed'\n");
    set_mtime("t_c.zv", 1000000100);
    EXPECT_EQ(run("del sys.modules['t_c']\nimport t_c\n"), "changed\n");
    EXPECT_EQ((uint8_t)read("t_c.zvc")[4], (uint8_t)(1000000100 & 0xff));

    // Corrupt and truncated caches with a good header are ignored too.
    std::string good = read("t_c.zvc");
    const std::string corrupt[] = {
        good.substr(0, 8),                   // header only
        good.substr(0, good.size() / 2),     // cut in the middle
        good.substr(0, 8) + "\x01garbage",  // not marshal data
        good.substr(0, 8) + "i\x01\x00\x00\x00", // not a code object
        "\x01\x02", // shorter than a header
    };
    for (const std::string &bad : corrupt) {
        write("t_c.zvc", bad);
        EXPECT_EQ(run("del sys.modules['t_c']\nimport t_c\n"), "changed\n");
        EXPECT_EQ(read("t_c.zvc"), good);
    }

    // A bytecode file alone is imported; with a wrong magic it is refused.
    write("t_only.zvc", good);
    EXPECT_EQ(run("import t_only\nprint t_only.__file__[-10:]\n"), "changed\nt_only.zvc\n");
    write("t_badmagic.zvc", "XXXX" + good.substr(4));
    EXPECT_EQ(run("import t_badmagic\n"),
              "!ImportError: Bad magic number in " + path("t_badmagic.zvc") + "\n");

    // Where the cache cannot be written the import still works.
    write("t_nocache.zv", "print 'ok'\n");
    mkdir(path("t_nocache.zvc").c_str(), 0777);
    EXPECT_EQ(run("import t_nocache\n"), "ok\n");
    // A source that cannot be read is not a module.
    mkdir(path("t_dir.zv").c_str(), 0777);
    EXPECT_EQ(run("import t_dir\n"), "!ImportError: No module named t_dir\n");
    if (geteuid() != 0) {
        write("t_secret.zv", "x = 1\n");
        chmod(path("t_secret.zv").c_str(), 0);
        EXPECT_EQ(run("import t_secret\n"), "!ImportError: No module named t_secret\n");
    }
    // A syntax error in a module is reported, and no cache is left.
    write("t_syntax.zv", "x = (\n");
    EXPECT_EQ(run("try:\n    import t_syntax\nexcept SyntaxError:\n    print 'syntax'\n"), "syntax\n");
    EXPECT_NE(access(path("t_syntax.zvc").c_str(), F_OK), 0);
}

TEST_F(ImportTest, AnEmptyPathEntryIsTheCurrentDirectory)
{
    write("t_here.zv", "where = 'here'\n");
    ASSERT_EQ(chdir(dir.c_str()), 0);
    EXPECT_EQ(run("sys.path[:] = ['']\nimport t_here\nprint t_here.where, t_here.__file__\n"),
              "here t_here.zv\n");
}

TEST_F(ImportTest, Reload)
{
    write("t_r.zv", "a = 1\nb = 1\n");
    set_mtime("t_r.zv", 1000000000);
    EXPECT_EQ(run("import t_r\nt_r.extra = 'kept'\n"), "");
    write("t_r.zv", "a = 2\n");
    set_mtime("t_r.zv", 1000000050);
    EXPECT_EQ(run("m = reload(t_r)\nprint m is t_r, t_r.a, t_r.b, t_r.extra\n"), "True 2 1 kept\n");
    write("t_r.zv", "a = 3\nraise IndexError\n");
    set_mtime("t_r.zv", 1000000090);
    EXPECT_EQ(run("try:\n    reload(t_r)\nexcept IndexError:\n    print 'failed'\n"
                  "print sys.modules['t_r'] is t_r, t_r.a\n"),
              "failed\nTrue 3\n");
    EXPECT_EQ(run("reload(3)\n"), "!TypeError: reload() argument must be module\n");
    EXPECT_EQ(run("import imp\nreload(imp.new_module('t_loose'))\n"),
              "!ImportError: reload(): module t_loose not in sys.modules\n");
    write("t_rp/__init__.zv", "");
    write("t_rp/m.zv", "v = 1\n");
    EXPECT_EQ(run("import t_rp.m\nprint reload(t_rp.m).v\n"), "1\n");
}

TEST_F(ImportTest, MetaPathAndPathHooks)
{
    EXPECT_EQ(run(R"(
import imp
class Loader:
    def __init__(self, log):
        self.log = log
    def load_module(self, name):
        self.log.append('load ' + name)
        m = imp.new_module(name)
        m.made_by = 'hook'
        sys.modules[name] = m
        return m
class MetaFinder:
    def __init__(self):
        self.log = []
    def find_module(self, name, path=None):
        self.log.append('find ' + name + ' ' + str(path))
        if name.startswith('t_virtual'):
            return Loader(self.log)
finder = MetaFinder()
sys.meta_path.append(finder)
import t_virtual
print t_virtual.made_by, finder.log
sys.meta_path.remove(finder)
)"),
              "hook ['find t_virtual None', 'load t_virtual']\n");
    write("t_plain.zv", "x = 'plain'\n");
    EXPECT_EQ(run(R"(
class Refuser:
    calls = 0
    def __init__(self, entry):
        Refuser.calls = Refuser.calls + 1
        raise ImportError
class Importer:
    def __init__(self, entry):
        if entry != 'virtual:':
            raise ImportError
    def find_module(self, name):
        if name == 't_fromhook':
            return self
    def load_module(self, name):
        m = imp.new_module(name)
        sys.modules[name] = m
        m.entry = 'virtual:'
        return m
sys.path_hooks.append(Refuser)
sys.path_hooks.append(Importer)
sys.path.insert(0, 'virtual:')
import t_fromhook, t_plain
print t_fromhook.entry, t_plain.x
print sys.path_importer_cache[TMP], sys.path_importer_cache['virtual:'].__class__.__name__
import t_plain2
)"),
              "virtual: plain\nNone Importer\n!ImportError: No module named t_plain2\n");
    // The search's own checks (seen through imp, since an import turns a
    // failed search into "No module named").
    EXPECT_EQ(run("sys.meta_path = ()\nimport t_nothing\n"), "!ImportError: No module named t_nothing\n");
    EXPECT_EQ(run("sys.meta_path = []\nsys.path_hooks = None\nimp.find_module('t_nothing')\n"),
              "!ImportError: sys.path_hooks must be a list of import hooks\n");
    EXPECT_EQ(run("sys.path_hooks = []\nsys.path_importer_cache = []\nimp.find_module('t_nothing')\n"),
              "!ImportError: sys.path_importer_cache must be a dict\n");
    EXPECT_EQ(run("sys.path_importer_cache = {}\np = sys.path\nsys.path = 'x'\n"
                  "try:\n    imp.find_module('t_nothing')\nfinally:\n    sys.path = p\n"),
              "!ImportError: sys.path must be a list of directory names\n");
    // A hook error other than ImportError fails the import.
    EXPECT_EQ(run("def broken(entry):\n    raise KeyError('hook')\nsys.path_hooks.append(broken)\n"
                  "sys.path_importer_cache.clear()\nimport t_nothing\n"),
              "!KeyError: 'hook'\n");
}

TEST_F(ImportTest, FrozenAndBuiltinModulesAndImp)
{
    EXPECT_EQ(run("import __hello__\nimport __phello__.spam\n"
                  "print __phello__.__path__, __phello__.spam.__file__\n"),
              "Hello world...\nHello world...\nHello world...\n__phello__ <frozen>\n");
    EXPECT_EQ(run(R"(
import imp, marshal
print imp.is_builtin('sys'), imp.is_builtin('marshal'), imp.is_builtin('nothing')
print imp.is_frozen('__hello__'), imp.is_frozen('nothing')
print type(imp.get_frozen_object('__phello__.spam')).__name__
print imp.find_module('sys'), imp.find_module('__hello__')
print imp.get_suffixes()[2], len(imp.get_magic()), imp.PKG_DIRECTORY, imp.IMP_HOOK
print imp.init_builtin('marshal') is marshal, imp.init_builtin('nothing'), imp.init_frozen('nothing')
print 'marshal' in sys.builtin_module_names, 'imp' in sys.builtin_module_names
print imp.lock_held()
imp.acquire_lock()
print imp.lock_held()
imp.release_lock()
print imp.lock_held()
)"),
              "-1 1 0\nTrue False\ncode\n(None, 'sys', ('', '', 6)) (None, '__hello__', ('', '', 7))\n"
              "('.zv', 'U', 1) 4 5 9\nTrue None None\nTrue True\nFalse\nTrue\nFalse\n");
    EXPECT_EQ(run("import imp\nimp.release_lock()\n"),
              "!RuntimeError: not holding the import lock\n");
    EXPECT_EQ(run("import imp\nimp.get_frozen_object('nothing')\n"),
              "!ImportError: No such frozen object named nothing\n");
    // sys, __builtin__ and exceptions are kept in the extension store at
    // start-up (init_builtin restores them from it); __main__ is not.
    EXPECT_EQ(run("import imp\nimp.init_builtin('__main__')\n"),
              "!ImportError: Cannot re-init internal module __main__\n");
    // Restoring a built-in from its stored copy replaces values whose
    // finalizer may drop the module: the import fails, nothing is freed
    // under it, and the next import works.
    EXPECT_EQ(run("import imp, marshal\n"
                  "class Evil:\n"
                  "    def __del__(self):\n"
                  "        sys.modules.pop('marshal', None)\n"
                  "        globals().pop('marshal', None)\n"
                  "marshal.dumps = Evil()\n"
                  "try:\n"
                  "    imp.init_builtin('marshal')\n"
                  "except ImportError, e:\n"
                  "    print e\n"
                  "import marshal\n"
                  "print repr(marshal.dumps(1))\n"),
              "Loaded module marshal not found in sys.modules\n'i\\x01\\x00\\x00\\x00'\n");
    EXPECT_EQ(run("import imp\nimp.load_module('x', None, 'p', ('', 'w', 1))\n"),
              "!ValueError: invalid file open mode w\n");
    EXPECT_EQ(run("import imp\nimp.load_module('x', None, 'p', ('.zv', 'r', 1))\n"),
              "!ValueError: file object required for import (type code 1)\n");
    EXPECT_EQ(run("import imp\nimp.load_module('x', None, 'p', ('', '', 42))\n"),
              "!ImportError: Don't know how to import x (type code 42)\n");
    EXPECT_EQ(run("import imp\nimp.load_module('x', None, 'p', ('', '', 9))\n"),
              "!ImportError: import hook without loader\n");
    EXPECT_EQ(run("import __phello__.nothing\n"), "!ImportError: No module named nothing\n");
    // Loading by path, without a search.
    write("elsewhere/src.zv", "v = 'src'\n");
    write("elsewhere/pk/__init__.zv", "v = 'pk'\n");
    EXPECT_EQ(run("import imp\nm = imp.load_source('t_src', TMP + '/elsewhere/src.zv')\n"
                  "c = imp.load_compiled('t_cmp', TMP + '/elsewhere/src.zvc')\n"
                  "p = imp.load_package('t_pk', TMP + '/elsewhere/pk')\n"
                  "print m.v, c.v, c.__name__, p.v, p.__path__ == [TMP + '/elsewhere/pk']\n"),
              "src src t_cmp pk True\n");
    EXPECT_EQ(run("import imp\nimp.load_source('t_src', TMP + '/elsewhere/none.zv')\n"),
              "!IOError: [Errno 2] No such file or directory\n");
    EXPECT_EQ(run("import imp\nimp.load_source('t_src', TMP + '/elsewhere/src.zv', 5)\n"),
              "!TypeError: load_source() argument 3 must be file, not int\n");
    // A module whose code gives up the import lock makes its import fail.
    write("t_unlock.zv", "import imp\nimp.release_lock()\n");
    EXPECT_EQ(run("import t_unlock\n"), "!RuntimeError: not holding the import lock\n");
    EXPECT_EQ(run("import imp\nimp.acquire_lock()\nprint 'relocked'\n"), "relocked\n");
}

TEST_F(ImportTest, NativeExtensionModules)
{
    std::string ext = ZUVO_TEST_EXT_DIR;
    EXPECT_EQ(run("sys.path.insert(0, '" + ext + "')\nimport spam\n"
                  "print spam.add(2, 40), spam.greeting, spam.__file__.endswith('/spammodule.so')\n"
                  "del sys.modules['spam']\nimport spam as again\nprint again.add(1, 1)\n"),
              "42 spam, spam True\n2\n");
    EXPECT_EQ(run("sys.path.insert(0, '" + ext + "')\nimport noinit\n"),
              "!ImportError: dynamic module does not define init function (initnoinit)\n");
    write("t_fake.so", "not a shared library\n");
    std::string got = run("import t_fake\n");
    EXPECT_EQ(got.rfind("!ImportError: Failure linking new module: " + path("t_fake.so") + ": ", 0),
              0u)
        << got;
}

TEST_F(ImportTest, Warnings)
{
    write("t_src.zv", "line one\n    the second line  \n");
    EXPECT_EQ(run(R"(
import warnings
w = warnings
err = _Out()
sys.stderr = err
saved = w.filters[:]
w.resetwarnings()
reg = {}
w.warn_explicit('first', UserWarning, 'f.zv', 3, 'mod', reg)
w.warn_explicit('first', UserWarning, 'f.zv', 3, 'mod', reg)
w.warn_explicit('first', UserWarning, 'f.zv', 4, 'mod', reg)
print err.parts
w.simplefilter('error', DeprecationWarning)
try:
    w.warn_explicit('old', DeprecationWarning, 'f.zv', 1)
except DeprecationWarning, e:
    print 'raised', e
w.filterwarnings('ignore', 'IGNO.*me', UserWarning, 'mo*d$')
w.filterwarnings('always', 'x', module='other\\$')
err.parts = []
w.warn_explicit('ignore me', UserWarning, 'f.zv', 1, 'mod')
w.warn_explicit('ignore me', UserWarning, 'f.zv', 1, 'modx')
w.warn_explicit('xx', RuntimeWarning, 'f.zv', 2, 'other$')
w.warn_explicit('xx', RuntimeWarning, 'f.zv', 2, 'other$')
print len(err.parts)
w.resetwarnings()
w.simplefilter('once')
err.parts = []
w.warn_explicit('one', UserWarning, 'a.zv', 1, 'a', {})
w.warn_explicit('one', UserWarning, 'b.zv', 2, 'b', {})
w.simplefilter('module')
w.warn_explicit('two', UserWarning, 'a.zv', 1, 'a', reg)
w.warn_explicit('two', UserWarning, 'a.zv', 2, 'a', reg)
print len(err.parts)
print w.formatwarning('msg', UserWarning, TMP + '/t_src.zv', 2).replace(TMP, 'T')
print repr(w.formatwarning('msg', UserWarning, 'nofile.zv', 1))
w.resetwarnings()
w._processoptions(['error::RuntimeWarning', 'i::UserWarning:mod.sub:7', 'bogus', 'a:b:c:d:e:f', 'd::NoSuchWarning'])
print [(f[0], f[2].__name__, f[4]) for f in w.filters]
print w.filters[0][3].match('mod.sub'), w.filters[0][3].match('modxsub')
print err.parts[-3:]
w.warn('from code', UserWarning)
print err.parts[-1].split(':')[2:]
try:
    w.warn(RuntimeWarning('as instance'))
except RuntimeWarning, e:
    print 'raised', e
w.filters[:] = saved
)"),
              "['f.zv:3: UserWarning: first\\n', 'f.zv:4: UserWarning: first\\n']\n"
              "raised old\n3\n2\n"
              "T/t_src.zv:2: UserWarning: msg\n  the second line\n\n"
              "'nofile.zv:1: UserWarning: msg\\n'\n"
              "[('ignore', 'UserWarning', 7), ('error', 'RuntimeWarning', 0)]\n"
              "True False\n"
              "[\"Invalid -W option ignored: invalid action: 'bogus'\\n\", "
              "\"Invalid -W option ignored: too many fields (max 5): 'a:b:c:d:e:f'\\n\", "
              "\"Invalid -W option ignored: unknown warning category: 'NoSuchWarning'\\n\"]\n"
              "[' UserWarning', ' from code\\n']\n"
              "raised as instance\n");
}

TEST_F(ImportTest, NativeWarningsGoThroughTheWarningsModule)
{
    EXPECT_EQ(run("import warnings\nerr = _Out()\nsys.stderr = err\n"
                  "saved = warnings.filters[:]\nwarnings.simplefilter('error', SyntaxWarning)\n"),
              "");
    EXPECT_EQ(ZvErr_Warn(ZvExc_SyntaxWarning, "native"), -1);
    EXPECT_EQ(zv_error_text(), "native");
    EXPECT_EQ(ZvErr_WarnExplicit(ZvExc_SyntaxWarning, "explicit", "n.zv", 9, "n", nullptr), -1);
    EXPECT_EQ(zv_error_text(), "explicit");
    EXPECT_EQ(run("warnings.filters[:] = saved\nwarnings.simplefilter('always')\n"), "");
    EXPECT_EQ(ZvErr_WarnExplicit(ZvExc_SyntaxWarning, "shown", "n.zv", 9, "n", nullptr), 0);
    EXPECT_EQ(ZvErr_Warn(nullptr, "default category"), 0);
    EXPECT_EQ(run("print err.parts[0], err.parts[1].split(':')[2:]\n"
                  "warnings.filters[:] = saved\n"),
              "n.zv:9: SyntaxWarning: shown\n[' RuntimeWarning', ' default category\\n']\n");
}

TEST_F(ImportTest, TracebackLinecacheFutureAndSite)
{
    write("t_tb.zv", "def inner():\n    raise ValueError('deep')\ndef outer():\n    inner()\n");
    std::string out = run(R"(
import traceback, linecache, t_tb
try:
    t_tb.outer()
except ValueError:
    tb = sys.exc_traceback
    entries = traceback.extract_tb(tb)
    print [(e[0] == TMP + '/t_tb.zv', e[1], e[2], e[3]) for e in entries[1:]]
    print traceback.format_list(entries[1:])[1].replace(TMP, 'T'),
    print traceback.format_exc().splitlines()[-1]
    o = _Out()
    traceback.print_exc(file=o)
    print o.parts[0], o.parts[-1],
    print len(traceback.extract_tb(tb, 2)), traceback.tb_lineno(tb.tb_next)
print traceback.format_exception_only(KeyError, KeyError('k'))
print traceback.format_exception_only(SyntaxError, SyntaxError('bad', ('s.zv', 3, 5, '  x = (1\n')))
print traceback.format_exception_only(ValueError, ValueError())
print traceback.format_exception(KeyError, None, None)
print repr(linecache.getline(TMP + '/t_tb.zv', 2)), repr(linecache.getline(TMP + '/t_tb.zv', 9))
print repr(linecache.getline('t_tb.zv', 1)), repr(linecache.getline('<string>', 1))
print repr(linecache.getline(TMP + '/none.zv', 1)), linecache.getlines('t_tb.zv')[3]
linecache.clearcache()
print linecache.cache
import __future__
print __future__.division.getMandatoryRelease(), __future__.division.compiler_flag
print __future__.all_feature_names, __future__.generators.getOptionalRelease()
import site
print repr(exit), 'setdefaultencoding' in dir(sys)
sys.path[:] = ['a', 'b', 'a', 3, 3]
site.removeduppaths()
print sys.path
)");
    EXPECT_EQ(out,
              "[(True, 4, 'outer', 'inner()'), (True, 2, 'inner', \"raise ValueError('deep')\")]\n"
              "  File \"T/t_tb.zv\", line 2, in inner\n    raise ValueError('deep')\n"
              "ValueError: deep\n"
              "Traceback (most recent call last):\nValueError: deep\n"
              "2 4\n"
              "[\"KeyError: 'k'\\n\"]\n"
              "['  File \"s.zv\", line 3\\n', '    x = (1\\n', '      ^\\n', 'SyntaxError: bad\\n']\n"
              "['ValueError\\n']\n"
              "['KeyError\\n']\n"
              "\"    raise ValueError('deep')\\n\" ''\n"
              "'def inner():\\n' ''\n"
              "''     inner()\n\n"
              "{}\n"
              "(3, 0, 0, 'alpha', 0) 8192\n"
              "['nested_scopes', 'generators', 'division'] (2, 2, 0, 'alpha', 1)\n"
              "Use exit() or Ctrl-D (i.e. EOF) to exit False\n"
              "['a', 'b', 3, 3]\n");
}

} // namespace

namespace {

TEST_F(ImportTest, VerboseTrace)
{
    write("t_v.zv", "x = 1\n");
    write("t_vp/__init__.zv", "");
    set_mtime("t_v.zv", 1000000000);
    run("import marshal\nif '__hello__' in sys.modules:\n    del sys.modules['__hello__']\n");
    int saved = Zv_VerboseFlag;
    Zv_VerboseFlag = 2;
    testing::internal::CaptureStderr();
    std::string out = run("import t_v, t_vp, __hello__, marshal\ndel sys.modules['t_v']\nimport t_v\n");
    Zv_VerboseFlag = saved;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "Hello world...\n");
    std::string v = path("t_v.zv"), c = path("t_v.zvc");
    for (std::string line : {"# trying " + path("t_v.so"), "# trying " + path("t_vmodule.so"),
                             "# trying " + v, "import t_v # from " + v, "# wrote " + c,
                             "import t_vp # directory " + path("t_vp"),
                             "import t_vp # from " + path("t_vp/__init__.zv"),
                             std::string("import __hello__ # frozen"), "# " + c + " matches " + v,
                             "import t_v # precompiled from " + c})
        EXPECT_NE(err.find(line + "\n"), std::string::npos) << line << "\n" << err;
    EXPECT_EQ(err.find("import marshal # builtin"), std::string::npos) << "already loaded";

    set_mtime("t_v.zv", 1000000007);
    write("t_v2.zv", "");
    write("t_v2.zvc", "XXXXXXXX");
    Zv_VerboseFlag = 1;
    testing::internal::CaptureStderr();
    run("del sys.modules['t_v']\nimport t_v, t_v2\n");
    Zv_VerboseFlag = saved;
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("# " + c + " has bad mtime\n"), std::string::npos) << err;
    EXPECT_NE(err.find("# " + path("t_v2.zvc") + " has bad magic\n"), std::string::npos) << err;
    EXPECT_EQ(err.find("# trying"), std::string::npos) << "only at level 2";
}

} // namespace
