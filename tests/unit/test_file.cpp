// The file objects' C interface: wrapping streams (ours to close or not),
// buffers handed to stdio, lines from files and from other objects,
// descriptors, universal-newline reading, readinto, the writing functions
// on real files, close failures and pipe statuses, and close() refused
// while another thread reads.  The threaded case initializes threads, so
// it runs last.
#include "typetest.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace {

using FileTest = ZvTest;

// The file constructors take the names as char *, as their C interface
// has it.
ZvObject *wrap(FILE *fp, const char *name, const char *mode, int (*close)(FILE *))
{
    return ZvFile_FromFile(fp, (char *)name, (char *)mode, close);
}
ZvObject *open_file(const char *name, const char *mode)
{
    return ZvFile_FromString((char *)name, (char *)mode);
}

struct TempDir {
    std::string path;
    TempDir()
    {
        char t[] = "/tmp/zvfile-XXXXXX";
        path = mkdtemp(t);
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};
std::string temp(const char *name)
{
    static TempDir dir;
    return dir.path + "/" + name;
}

void put(const std::string &path, const std::string &data)
{
    FILE *f = fopen(path.c_str(), "wb");
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
}

std::string get(const std::string &path)
{
    std::string data;
    FILE *f = fopen(path.c_str(), "rb");
    for (int c; (c = getc(f)) != EOF;) data += (char)c;
    fclose(f);
    return data;
}

std::string text(ZvObject *o)
{
    if (o == nullptr) return "<error: " + zv_error_text() + ">";
    std::string s = ZvString_Check(o) ? std::string(ZvString_AS_STRING(o), ZvString_GET_SIZE(o))
                                      : zv_repr(o);
    Zv_DECREF(o);
    return s;
}

// Runs Zuvo statements in a fresh namespace and returns it.
ZvObject *run(const char *code)
{
    ZvObject *d = ZvDict_New();
    ZvDict_SetItemString(d, "__builtins__", ZvThreadState_Get()->interp->builtins);
    ZvObject *r = ZvRun_String(code, Zv_file_input, d, d);
    EXPECT_NE(r, nullptr) << zv_error_text();
    Zv_XDECREF(r);
    return d;
}

TEST_F(FileTest, WrappedStreamsAreClosedOnlyWhenOurs)
{
    std::string path = temp("wrap.txt");
    FILE *fp = fopen(path.c_str(), "w+");
    Owned f(wrap(fp, "wrapped", "w+", nullptr));
    ASSERT_NE(f.get(), nullptr);
    EXPECT_EQ(ZvFile_AsFile(f), fp);
    EXPECT_EQ(zv_str(ZvFile_Name(f)), "wrapped");
    EXPECT_EQ(text(zv_callattr(f, "write", {Owned(ZvString_FromString("abc")).get()})), "None");
    EXPECT_EQ(text(zv_callattr(f, "close")), "None");
    EXPECT_EQ(ZvFile_AsFile(f), nullptr) << "the file object is closed";
    EXPECT_NE(fputs("def", fp), EOF) << "the stream it wrapped is not";
    fclose(fp);
    EXPECT_EQ(get(path), "abcdef");

    Owned other(ZvInt_FromLong(1));
    EXPECT_EQ(ZvFile_AsFile(other), nullptr);
    EXPECT_EQ(ZvFile_AsFile(nullptr), nullptr);
    EXPECT_EQ(ZvFile_Name(other), nullptr);
    EXPECT_EQ(wrap(stdout, nullptr, "w", nullptr), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));

    // A directory is refused; a stream that is not ours stays open.
    FILE *dir = fopen(temp("").c_str(), "r");
    ASSERT_NE(dir, nullptr);
    EXPECT_EQ(wrap(dir, "dir", "r", nullptr), nullptr);
    EXPECT_EQ(zv_error_text(), "(21, 'Is a directory')");
    EXPECT_EQ(fclose(dir), 0);
    dir = fopen(temp("").c_str(), "r");
    EXPECT_EQ(wrap(dir, "dir", "r", fclose), nullptr); // closed there: no leak
    EXPECT_TRUE(zv_raised(ZvExc_IOError));
}

TEST_F(FileTest, BuffersHandedToStdioNeverOutliveTheirFile)
{
    std::string path = temp("buf.txt");
    FILE *fp = fopen(path.c_str(), "w");
    ZvObject *f = wrap(fp, "borrowed", "w", nullptr);
    ZvFile_SetBufSize(f, 8192);
    Owned one(ZvString_FromString("1"));
    Zv_XDECREF(zv_callattr(f, "write", {one.get()}));
    EXPECT_EQ(get(path), "") << "buffered in the file's own buffer";
    ZvFile_SetBufSize(f, 1);
    EXPECT_EQ(get(path), "1") << "switching buffers flushes the old one";
    Zv_XDECREF(zv_callattr(f, "write", {Owned(ZvString_FromString("2\n3")).get()}));
    EXPECT_EQ(get(path), "12\n") << "line buffered";
    ZvFile_SetBufSize(f, 4096);
    Zv_DECREF(f); // frees the buffer: the stream must stop using it first
    fputs("4", fp);
    fclose(fp);
    EXPECT_EQ(get(path), "12\n34");

    ZvFile_SetBufSize(nullptr, 10);
    ZvFile_SetBufSize(Owned(ZvInt_FromLong(1)), 10);
    Owned closed(open_file(path.c_str(), "r"));
    Zv_XDECREF(zv_callattr(closed, "close"));
    ZvFile_SetBufSize(closed, 10);
}

TEST_F(FileTest, GetLineFromFilesAndReaders)
{
    std::string path = temp("lines.txt");
    put(path, "ab\ncd\nxy");
    Owned f(open_file(path.c_str(), "r"));
    EXPECT_EQ(text(ZvFile_GetLine(f, 1)), "a");
    EXPECT_EQ(text(ZvFile_GetLine(f, 0)), "b\n");
    EXPECT_EQ(text(ZvFile_GetLine(f, -1)), "cd") << "n < 0 strips the newline";
    EXPECT_EQ(text(ZvFile_GetLine(f, -1)), "xy");
    EXPECT_EQ(ZvFile_GetLine(f, -1), nullptr);
    EXPECT_EQ(zv_error_text(), "EOF when reading a line");
    EXPECT_EQ(text(ZvFile_GetLine(f, 0)), "");
    Zv_XDECREF(zv_callattr(f, "close"));
    EXPECT_EQ(ZvFile_GetLine(f, 0), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_ValueError));
    EXPECT_EQ(ZvFile_GetLine(nullptr, 0), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));

    Owned ns(run("class R:\n"
                 "    def __init__(self, lines):\n"
                 "        self.lines = lines\n"
                 "        self.calls = []\n"
                 "    def readline(self, *args):\n"
                 "        self.calls.append(args)\n"
                 "        return self.lines.pop(0)\n"
                 "r = R(['one\\n', 'two', '', 5, 'x\\n'])\n"));
    ZvObject *r = ZvDict_GetItemString(ns, "r");
    EXPECT_EQ(text(ZvFile_GetLine(r, 3)), "one\n");
    EXPECT_EQ(text(ZvFile_GetLine(r, -1)), "two");
    EXPECT_EQ(ZvFile_GetLine(r, -1), nullptr);
    EXPECT_EQ(zv_error_text(), "EOF when reading a line");
    EXPECT_EQ(ZvFile_GetLine(r, 0), nullptr);
    EXPECT_EQ(zv_error_text(), "object.readline() returned non-string");
    EXPECT_EQ(text(ZvFile_GetLine(r, -5)), "x");
    EXPECT_EQ(text(ZvObject_GetAttrString(r, "calls")), "[(3,), (), (), (), ()]");
    EXPECT_EQ(ZvFile_GetLine(Owned(ZvInt_FromLong(1)), 0), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_AttributeError));
}

TEST_F(FileTest, FileDescriptorsOfObjects)
{
    Owned ns(run("class F:\n"
                 "    def __init__(self, v):\n"
                 "        self.v = v\n"
                 "    def fileno(self):\n"
                 "        return self.v\n"
                 "class Bad:\n"
                 "    def fileno(self):\n"
                 "        raise KeyError('no fd')\n"
                 "five, text, neg, bad = F(5), F('x'), F(-2), Bad()\n"));
    Owned three(ZvInt_FromLong(3)), four(ZvLong_FromLong(4)), minus(ZvInt_FromLong(-1));
    Owned huge(ZvLong_FromLongLong(1LL << 40)), str(ZvString_FromString("s"));
    Owned f(open_file(temp("fd.txt").c_str(), "w"));
    EXPECT_EQ(ZvObject_AsFileDescriptor(three), 3);
    EXPECT_EQ(ZvObject_AsFileDescriptor(four), 4);
    EXPECT_EQ(ZvObject_AsFileDescriptor(ZvDict_GetItemString(ns, "five")), 5);
    EXPECT_EQ(ZvObject_AsFileDescriptor(f), fileno(ZvFile_AsFile(f)));
    struct {
        ZvObject *o;
        std::string message;
    } bad[] = {
        {minus, "file descriptor cannot be a negative integer (-1)"},
        {ZvDict_GetItemString(ns, "neg"), "file descriptor cannot be a negative integer (-2)"},
        {ZvDict_GetItemString(ns, "text"), "fileno() returned a non-integer"},
        {str, "argument must be an int, or have a fileno() method."},
        {ZvDict_GetItemString(ns, "bad"), "'no fd'"},
    };
    for (auto &b : bad) {
        EXPECT_EQ(ZvObject_AsFileDescriptor(b.o), -1);
        EXPECT_EQ(zv_error_text(), b.message);
    }
    EXPECT_EQ(ZvObject_AsFileDescriptor(huge), -1);
    EXPECT_TRUE(zv_raised(ZvExc_OverflowError));
}

TEST_F(FileTest, UniversalNewlineFgetsAndFread)
{
    std::string path = temp("univ.txt");
    put(path, "a\r\nb\rc\n\r");
    char buf[64];
    FILE *fp = fopen(path.c_str(), "rb");
    std::string lines;
    while (Zv_UniversalNewlineFgets(buf, sizeof buf, fp, nullptr) != nullptr) lines += buf + std::string("|");
    EXPECT_EQ(lines, "a\n|b\n|c\n|\n|");
    rewind(fp);
    lines.clear();
    while (Zv_UniversalNewlineFgets(buf, 2, fp, nullptr) != nullptr) lines += buf + std::string("|");
    EXPECT_EQ(lines, "a|\n|b|\n|c|\n|\n|") << "a \"\\r\\n\" split across calls is one line end";
    rewind(fp);
    EXPECT_EQ(Zv_UniversalNewlineFgets(buf, 1, fp, nullptr), nullptr);
    buf[0] = 'Z';
    EXPECT_EQ(Zv_UniversalNewlineFgets(buf, 0, fp, nullptr), nullptr);
    EXPECT_EQ(Zv_UniversalNewlineFgets(buf, -5, fp, nullptr), nullptr);
    EXPECT_EQ(buf[0], 'Z') << "no room: nothing written, not even the terminator";
    EXPECT_EQ(Zv_UniversalNewlineFgets(nullptr, 10, fp, nullptr), nullptr);
    Owned other(ZvInt_FromLong(1));
    errno = 0;
    EXPECT_EQ(Zv_UniversalNewlineFgets(buf, 10, fp, other), nullptr);
    EXPECT_EQ(errno, ENXIO);
    errno = 0;
    EXPECT_EQ(Zv_UniversalNewlineFread(buf, 10, fp, nullptr), 0u);
    EXPECT_EQ(errno, ENXIO);

    // A file object's mode decides, and keeps the state between calls.
    Owned plain(wrap(fp, "plain", "rb", nullptr));
    ASSERT_NE(Zv_UniversalNewlineFgets(buf, sizeof buf, fp, plain), nullptr);
    EXPECT_STREQ(buf, "a\r\n");
    Owned univ(wrap(fp, "univ", "rU", nullptr));
    rewind(fp);
    ASSERT_EQ(Zv_UniversalNewlineFread(buf, 3, fp, univ), 3u);
    EXPECT_EQ(std::string(buf, 3), "a\nb");
    EXPECT_EQ(Zv_UniversalNewlineFread(buf, 10, fp, univ), 4u);
    EXPECT_EQ(std::string(buf, 4), "\nc\n\n");
    EXPECT_EQ(text(ZvObject_GetAttrString(univ, "newlines")), "('\\r', '\\n', '\\r\\n')");
    fclose(fp);
}

// A fixed-size writable buffer for readinto().
struct Buffer {
    ZvObject_HEAD
    char data[5];
};
int buffer_segcount(ZvObject *, int *len)
{
    if (len != nullptr) *len = 5;
    return 1;
}
int buffer_write(ZvObject *self, int, void **p)
{
    *p = ((Buffer *)self)->data;
    return 5;
}
ZvBufferProcs buffer_procs = {nullptr, buffer_write, buffer_segcount, nullptr};
ZvTypeObject Buffer_Type;

TEST_F(FileTest, ReadintoFillsWritableBuffers)
{
    Buffer_Type.tp_name = "testbuffer";
    Buffer_Type.tp_basicsize = sizeof(Buffer);
    Buffer_Type.tp_flags = Zv_TPFLAGS_DEFAULT;
    Buffer_Type.tp_as_buffer = &buffer_procs;
    Buffer_Type.tp_dealloc = [](ZvObject *o) { ZvObject_Del(o); };
    ASSERT_EQ(ZvType_Ready(&Buffer_Type), 0);
    Owned b((ZvObject *)ZvObject_New(Buffer, &Buffer_Type));
    std::string path = temp("into.txt");
    put(path, "hello world\r\nxy");
    Owned f(open_file(path.c_str(), "rb"));
    EXPECT_EQ(text(zv_callattr(f, "readinto", {b.get()})), "5");
    EXPECT_EQ(std::string(((Buffer *)b.get())->data, 5), "hello");
    Owned u(open_file(path.c_str(), "U"));
    Zv_XDECREF(zv_callattr(u, "seek", {Owned(ZvInt_FromLong(9)).get()}));
    EXPECT_EQ(text(zv_callattr(u, "readinto", {b.get()})), "5");
    EXPECT_EQ(std::string(((Buffer *)b.get())->data, 5), "ld\nxy");
    EXPECT_EQ(text(zv_callattr(u, "readinto", {b.get()})), "0");
    Zv_XDECREF(zv_callattr(u, "close"));
    EXPECT_EQ(zv_callattr(u, "readinto", {b.get()}), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_ValueError));
}

TEST_F(FileTest, WritingFunctionsOnRealFiles)
{
    std::string path = temp("write.txt");
    Owned f(open_file(path.c_str(), "w"));
    Owned s(ZvString_FromString("s"));
    EXPECT_EQ(ZvFile_WriteObject(s, f, 0), 0);
    EXPECT_EQ(ZvFile_WriteString(" ", f), 0);
    EXPECT_EQ(ZvFile_WriteObject(s, f, Zv_PRINT_RAW), 0);
    EXPECT_EQ(ZvFile_SoftSpace(f, 1), 0);
    EXPECT_EQ(ZvFile_SoftSpace(f, 0), 1);
    EXPECT_EQ(ZvFile_SoftSpace(nullptr, 1), 0);
    ZvErr_SetString(ZvExc_KeyError, "pending");
    EXPECT_EQ(ZvFile_WriteString("lost", f), -1);
    EXPECT_EQ(zv_error_text(), "pending") << "the pending error is kept";
    EXPECT_EQ(ZvFile_WriteString("x", nullptr), -1);
    EXPECT_EQ(zv_error_text(), "null file for ZvFile_WriteString");
    EXPECT_EQ(ZvFile_WriteObject(s, nullptr, 0), -1);
    EXPECT_EQ(zv_error_text(), "writeobject with NULL file");
    Zv_XDECREF(zv_callattr(f, "close"));
    EXPECT_EQ(get(path), "'s' s");
    EXPECT_EQ(ZvFile_WriteString("x", f), -1);
    EXPECT_EQ(zv_error_text(), "I/O operation on closed file");
    EXPECT_EQ(ZvFile_WriteObject(s, f, 0), -1);
    EXPECT_EQ(zv_error_text(), "I/O operation on closed file");
}

TEST_F(FileTest, CloseFailuresAndPipeStatuses)
{
    Owned ns(run("class Collect:\n"
                 "    softspace = 0\n"
                 "    def __init__(self):\n"
                 "        self.text = ''\n"
                 "    def write(self, s):\n"
                 "        self.text = self.text + s\n"
                 "err = Collect()\n"));
    ZvObject *err = ZvDict_GetItemString(ns, "err");
    ZvObject *saved = ZvSys_GetObject("stderr");
    Zv_INCREF(saved);
    ASSERT_EQ(ZvSys_SetObject("stderr", err), 0);

    // Buffered data whose descriptor is gone: closing fails with EBADF.
    auto doomed = [](const char *name) {
        int fd = open(temp(name).c_str(), O_WRONLY | O_CREAT, 0600);
        ZvObject *f = wrap(fdopen(fd, "w"), name, "w", fclose);
        Zv_XDECREF(zv_callattr(f, "write", {Owned(ZvString_FromString("data")).get()}));
        close(fd);
        return f;
    };
    Zv_DECREF(doomed("dealloc"));
    EXPECT_EQ(text(ZvObject_GetAttrString(err, "text")), "close failed: [Errno 9] Bad file descriptor\n");
    Owned f(doomed("method"));
    EXPECT_EQ(zv_callattr(f, "close"), nullptr);
    EXPECT_EQ(zv_error_text(), "(9, 'Bad file descriptor')");
    EXPECT_EQ(text(zv_callattr(f, "close")), "None") << "closed once, even when that failed";
    ASSERT_EQ(ZvSys_SetObject("stderr", saved), 0);
    Zv_DECREF(saved);

    // A pipe: read() grows its buffer without a file size, close() gives
    // the command's status.
    Owned p(wrap(popen("printf 'line1\\nline2'; exit 3", "r"), "cmd", "r", pclose));
    EXPECT_EQ(text(zv_callattr(p, "read")), "line1\nline2");
    EXPECT_EQ(text(zv_callattr(p, "close")), "768");
    EXPECT_EQ(text(zv_callattr(p, "close")), "None");
}

// Last: initializes threads.  A reader blocked in read() with the lock
// released keeps the stream; close() from another thread is refused
// instead of pulling it away.
TEST_F(FileTest, CloseIsRefusedWhileAnotherThreadReads)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    Owned f(wrap(fdopen(fds[0], "r"), "<pipe>", "r", fclose));
    ZvEval_InitThreads();
    std::string got;
    std::thread reader([&] {
        ZvGILState_STATE st = ZvGILState_Ensure();
        got = text(zv_callattr(f, "read"));
        ZvGILState_Release(st);
    });
    while (((ZvFileObject *)f.get())->f_busy == 0) {
        Zv_BEGIN_ALLOW_THREADS
        sched_yield();
        Zv_END_ALLOW_THREADS
    }
    EXPECT_EQ(zv_callattr(f, "close"), nullptr);
    EXPECT_EQ(zv_error_text(), "close() called during concurrent operation on the same file object.");
    ASSERT_EQ(write(fds[1], "data", 4), 4);
    close(fds[1]);
    Zv_BEGIN_ALLOW_THREADS
    reader.join();
    Zv_END_ALLOW_THREADS
    EXPECT_EQ(got, "data");
    EXPECT_EQ(text(zv_callattr(f, "close")), "None");
}

} // namespace
