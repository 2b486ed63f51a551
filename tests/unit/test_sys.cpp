// The sys module's C interface: sys.path and sys.argv from the command
// line's strings, the -W list, the standard streams as seen from C, the
// message writers and their fall-backs, start-up's refusal of a directory
// as standard input, and the trace event names across a restart (last: it
// restarts the runtime).
#include "typetest.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

namespace {

using SysTest = ZvTest;

// The file constructors take the names as char *, as their C interface
// has it.
ZvObject *wrap(FILE *fp, const char *name, const char *mode, int (*close)(FILE *))
{
    return ZvFile_FromFile(fp, (char *)name, (char *)mode, close);
}

std::string sys_repr(const char *name)
{
    ZvObject *o = ZvSys_GetObject(name);
    return o == nullptr ? "<missing>" : zv_repr(o);
}

// Keeps a sys entry and puts it back at the end of the scope.
struct SavedEntry {
    const char *name;
    ZvObject *value;
    explicit SavedEntry(const char *n) : name(n), value(ZvSys_GetObject(n)) { Zv_XINCREF(value); }
    ~SavedEntry()
    {
        ZvSys_SetObject(name, value);
        Zv_XDECREF(value);
    }
};

// What a function writes to the process's file descriptor fd.
std::string captured(int fd, const std::function<void()> &fn)
{
    fflush(nullptr);
    int pipefd[2];
    if (pipe(pipefd) != 0) return "<pipe failed>";
    int saved = dup(fd);
    dup2(pipefd[1], fd);
    close(pipefd[1]);
    fn();
    fflush(nullptr);
    dup2(saved, fd);
    close(saved);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(pipefd[0], buf, sizeof buf)) > 0;) out.append(buf, (size_t)n);
    close(pipefd[0]);
    return out;
}

// A Zuvo object collecting what is written to it (or failing).
ZvObject *collector(bool failing = false)
{
    ZvObject *d = ZvDict_New();
    ZvDict_SetItemString(d, "__builtins__", ZvThreadState_Get()->interp->builtins);
    ZvObject *r = ZvRun_String("class Collect:\n"
                               "    softspace = 0\n"
                               "    text = ''\n"
                               "    def write(self, s):\n"
                               "        if self.text == 'fail': raise IOError('no')\n"
                               "        self.text = self.text + s\n"
                               "c = Collect()\n",
                               Zv_file_input, d, d);
    Zv_XDECREF(r);
    ZvObject *c = ZvDict_GetItemString(d, "c");
    Zv_INCREF(c);
    Zv_DECREF(d);
    if (failing) ZvObject_SetAttrString(c, "text", Owned(ZvString_FromString("fail")));
    return c;
}

std::string written(ZvObject *c) { return zv_str(Owned(ZvObject_GetAttrString(c, "text"))); }

TEST_F(SysTest, PathAndArgvFromStrings)
{
    SavedEntry path("path"), argv("argv");
    struct {
        const char *path;
        const char *list;
    } paths[] = {{"a::b", "['a', '', 'b']"}, {"", "['']"}, {":", "['', '']"}, {"/x", "['/x']"}};
    for (auto &p : paths) {
        ZvSys_SetPath(p.path);
        EXPECT_EQ(sys_repr("path"), p.list) << p.path;
    }

    // Directories of scripts, links followed; none for -c.
    std::string dir = std::filesystem::canonical("/tmp").string() + "/zvsys-" +
                      std::to_string(getpid());
    std::filesystem::create_directories(dir + "/a");
    std::filesystem::create_directories(dir + "/b");
    fclose(fopen((dir + "/a/s.zv").c_str(), "w"));
    fclose(fopen((dir + "/b/t.zv").c_str(), "w"));
    symlink("../a/s.zv", (dir + "/b/rel").c_str());
    symlink((dir + "/a/s.zv").c_str(), (dir + "/b/abs").c_str());
    symlink("t.zv", (dir + "/b/bare").c_str());
    std::string long_name = std::string(3000, 'x') + "/y.zv";
    struct {
        std::string argv0;
        std::string front;
    } cases[] = {
        {"-c", ""},
        {dir + "/a/s.zv", dir + "/a"},
        {dir + "/b/rel", dir + "/a"},
        {dir + "/b/abs", dir + "/a"},
        {dir + "/b/bare", dir + "/b"},
        {dir + "/a/../b/t.zv", dir + "/b"},
        {"/no-such-script.zv", "/"},
        {"no-slash", ""},
        {long_name, std::string(3000, 'x')},
    };
    for (auto &c : cases) {
        ZvSys_SetPath("lib");
        char *args[] = {(char *)c.argv0.c_str(), (char *)"arg"};
        ZvSys_SetArgv(2, args);
        ZvObject *p = ZvSys_GetObject("path");
        ASSERT_EQ(ZvList_GET_SIZE(p), 2);
        EXPECT_EQ(zv_str(ZvList_GET_ITEM(p, 0)), c.front) << c.argv0.substr(0, 80);
        EXPECT_EQ(zv_str(ZvList_GET_ITEM(ZvSys_GetObject("argv"), 0)), c.argv0);
    }
    ZvSys_SetPath("lib");
    ZvSys_SetArgv(0, nullptr);
    EXPECT_EQ(sys_repr("argv"), "['']");
    EXPECT_EQ(sys_repr("path"), "['', 'lib']");
    /* A missing vector or entry counts as an empty argument. */
    ZvSys_SetPath("lib");
    ZvSys_SetArgv(2, nullptr);
    EXPECT_EQ(sys_repr("argv"), "['', '']");
    char *holes[] = {nullptr, (char *)"x"};
    ZvSys_SetArgv(2, holes);
    EXPECT_EQ(sys_repr("argv"), "['', 'x']");
    std::filesystem::remove_all(dir);
}

TEST_F(SysTest, WarnOptionsAndStreams)
{
    ZvObject *list = ZvSys_GetObject("warnoptions");
    ZvSys_AddWarnOption("ignore");
    ZvSys_AddWarnOption("error::DeprecationWarning");
    EXPECT_EQ(sys_repr("warnoptions"), "['ignore', 'error::DeprecationWarning']");
    EXPECT_EQ(ZvSys_GetObject("warnoptions"), list) << "one list, kept across start-up";
    ZvSys_ResetWarnOptions();
    EXPECT_EQ(sys_repr("warnoptions"), "[]");

    EXPECT_EQ(ZvSys_GetFile("stdout", nullptr), stdout);
    EXPECT_EQ(ZvSys_GetFile("stdin", nullptr), stdin);
    EXPECT_EQ(ZvSys_GetFile("no-such-entry", stderr), stderr);
    SavedEntry out("stdout");
    Owned c(collector());
    ZvSys_SetObject("stdout", c);
    EXPECT_EQ(ZvSys_GetFile("stdout", stderr), stderr) << "not a file";
    Owned closed(wrap(stdout, "<closed>", "w", nullptr));
    Zv_XDECREF(zv_callattr(closed, "close"));
    ZvSys_SetObject("stdout", closed);
    EXPECT_EQ(ZvSys_GetFile("stdout", stderr), stderr) << "a closed file has no stream";
}

TEST_F(SysTest, WritersUseSysObjectsThenTheProcessStreams)
{
    SavedEntry out("stdout"), err("stderr");
    Owned c(collector());
    ZvSys_SetObject("stdout", c);
    ZvSys_WriteStdout("%d-%s", 5, "x");
    EXPECT_EQ(written(c), "5-x");
    std::string big(2000, 'b');
    Owned c2(collector());
    ZvSys_SetObject("stderr", c2);
    ZvErr_SetString(ZvExc_KeyError, "kept");
    ZvSys_WriteStderr("%s", big.c_str());
    EXPECT_EQ(zv_error_text(), "kept") << "a pending error survives";
    EXPECT_EQ(written(c2), std::string(1000, 'b') + "... truncated");

    // Fall-backs: a failing object, a missing entry, the process stream's
    // own file object (formatted straight onto the stream, untruncated).
    Owned failing(collector(true));
    ZvSys_SetObject("stdout", failing);
    EXPECT_EQ(captured(1, [] { ZvSys_WriteStdout("fallback %d", 1); }), "fallback 1");
    EXPECT_EQ(ZvErr_Occurred(), nullptr);
    ZvSys_SetObject("stdout", nullptr);
    EXPECT_EQ(captured(1, [] { ZvSys_WriteStdout("missing"); }), "missing");
    ZvSys_SetObject("stderr", ZvSys_GetObject("__stderr__"));
    EXPECT_EQ(captured(2, [&] { ZvSys_WriteStderr("%s", big.c_str()); }), big);
}

TEST_F(SysTest, StandardInputThatIsADirectoryIsFatal)
{
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(open("/", O_RDONLY), 0);
        dup2(pipefd[1], 2);
        Zv_Finalize();
        Zv_Initialize();
        _exit(0);
    }
    close(pipefd[1]);
    std::string out;
    char buf[512];
    for (ssize_t n; (n = read(pipefd[0], buf, sizeof buf)) > 0;) out.append(buf, (size_t)n);
    close(pipefd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT);
    EXPECT_NE(out.find("Fatal Zuvo error: <stdin> is a directory\n"), std::string::npos) << out;
}

// Last: restarts the runtime.  Trace functions get interned event names,
// so `event is "call"` holds, also after a restart released the table.
TEST_F(SysTest, TraceEventNamesStayInternedAcrossRestart)
{
    for (int round = 0; round < 2; round++) {
        ZvObject *d = ZvDict_New();
        ZvDict_SetItemString(d, "__builtins__", ZvThreadState_Get()->interp->builtins);
        ZvDict_SetItemString(d, "sys", ZvDict_GetItemString(ZvImport_GetModuleDict(), "sys"));
        ZvObject *r = ZvRun_String("seen = []\n"
                                   "def t(frame, event, arg):\n"
                                   "    seen.append(event is 'call' or event is 'line' or "
                                   "event is 'return')\n"
                                   "    return t\n"
                                   "def f():\n"
                                   "    return 1\n"
                                   "sys.settrace(t)\n"
                                   "f()\n"
                                   "sys.settrace(None)\n",
                                   Zv_file_input, d, d);
        EXPECT_NE(r, nullptr) << zv_error_text();
        Zv_XDECREF(r);
        EXPECT_EQ(zv_repr(ZvDict_GetItemString(d, "seen")), "[True, True, True]") << round;
        ZvDict_Clear(d);
        Zv_DECREF(d);
        Zv_Finalize();
        Zv_Initialize();
    }
}

} // namespace
