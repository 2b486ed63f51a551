// The interactive prompt, driven through a pseudo-terminal as a person
// would type at it: the banner, the prompts sys.ps1 and sys.ps2, blocks
// over several lines, an error followed by a good line, start-up files,
// inspection after a program, and the end of input.
//
// The terminal echoes what is typed and turns "\n" into "\r\n"; prompts
// (standard error) and results (standard output) share it.  Waiting for
// output has a generous deadline only so that a hung interpreter fails
// the test instead of stalling it.
#include "clitest.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class Session {
public:
    Session(const std::vector<std::string> &args,
            const std::vector<std::pair<std::string, std::string>> &env = {})
    {
        std::vector<std::string> argv = {zuvo_exe()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> envs = child_environment(env);
        std::vector<char *> cargv, cenv;
        for (std::string &s : argv) cargv.push_back(s.data());
        for (std::string &s : envs) cenv.push_back(s.data());
        cargv.push_back(nullptr);
        cenv.push_back(nullptr);
        pid_ = forkpty(&fd_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            execve(cargv[0], cargv.data(), cenv.data());
            _exit(127);
        }
    }

    ~Session()
    {
        if (fd_ >= 0) close(fd_);
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    // Reads until `text` has appeared after what earlier calls consumed;
    // returns everything read up to and including it ("" on a timeout or
    // end of output, which fails the test).
    std::string expect(const std::string &text)
    {
        for (;;) {
            size_t at = seen_.find(text);
            if (at != std::string::npos) {
                std::string upto = seen_.substr(0, at + text.size());
                seen_.erase(0, at + text.size());
                return upto;
            }
            pollfd p = {fd_, POLLIN, 0};
            char buf[4096];
            ssize_t n = poll(&p, 1, 30000) > 0 ? read(fd_, buf, sizeof buf) : -1;
            if (n <= 0) {
                ADD_FAILURE() << "never saw '" << text << "' in:\n" << seen_;
                return "";
            }
            seen_.append(buf, (size_t)n);
        }
    }

    void send(const std::string &text) { (void)!write(fd_, text.data(), text.size()); }

    // Ends the input (the terminal's end-of-file character) and waits.
    int finish()
    {
        send("\x04");
        char buf[4096];
        pollfd p = {fd_, POLLIN, 0};
        while (poll(&p, 1, 30000) > 0) {
            ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0) break; // the terminal closes when the program ends
            seen_.append(buf, (size_t)n);
        }
        return wait();
    }

    int wait()
    {
        int status = 0;
        waitpid(pid_, &status, 0);
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_;
    }

    const std::string &rest() const { return seen_; }

private:
    int fd_ = -1;
    pid_t pid_ = -1;
    int status_ = -1;
    std::string seen_;
};

TEST(Prompt, Session)
{
    Session s({"-S"});
    std::string banner = s.expect(">>> ");
    EXPECT_EQ(banner.rfind("Zuvo 2.4.3 (", 0), 0u) << banner;
    EXPECT_EQ(banner.find("Type \"help\""), std::string::npos) << "-S drops the second line";

    s.send("1 + 1\n");
    s.expect("1 + 1\r\n2\r\n>>> ");
    s.send("for i in range(2):\n");
    s.expect("... ");
    s.send("  print i\n");
    s.expect("... ");
    s.send("\n");
    s.expect("\r\n0\r\n1\r\n>>> ");

    // An error is reported and the session goes on; `_` keeps the last
    // value displayed, and None displays nothing.
    s.send("1/0\n");
    std::string report = s.expect(">>> ");
    EXPECT_NE(report.find("Traceback (most recent call last):\r\n  File \"<stdin>\", line 1, in "
                          "?\r\nZeroDivisionError: integer division or modulo by zero\r\n"),
              std::string::npos)
        << report;
    s.send("print 'good'\n");
    s.expect("good\r\n>>> ");
    s.send("_ * 10\n");
    s.expect("20\r\n>>> ");
    s.send("None\n");
    EXPECT_EQ(s.expect(">>> "), "None\r\n>>> ");

    // A syntax error points at its column.
    s.send("1 +* 2\n");
    report = s.expect(">>> ");
    EXPECT_NE(report.find("  File \"<stdin>\", line 1\r\n    1 +* 2\r\n       ^\r\nSyntaxError: "
                          "invalid syntax\r\n"),
              std::string::npos)
        << report;

    // A future statement stays in force for the lines after it.
    s.send("from __future__ import division\n");
    s.expect(">>> ");
    s.send("7 / 2\n");
    s.expect("3.5\r\n>>> ");

    EXPECT_EQ(s.finish(), 0);
}

TEST(Prompt, PromptsAreObjects)
{
    Session s({"-S"});
    s.expect(">>> ");
    s.send("import sys\n");
    s.expect(">>> ");
    const char *lines[] = {"class Counter:\n", "  n = 0\n", "  def __str__(self):\n",
                           "    Counter.n = Counter.n + 1\n",
                           "    return 'p' + str(Counter.n) + '> '\n", "\n"};
    for (const char *line : lines) {
        s.send(line);
        s.expect(line[0] == '\n' ? ">>> " : "... ");
    }
    s.send("sys.ps1 = Counter()\n");
    s.expect("p1> ");
    s.send("sys.ps2 = '..: '\n");
    s.expect("p2> ");
    s.send("if 1:\n");
    s.expect("..: ");
    s.send("  print 'in block'\n");
    s.expect("..: ");
    s.send("\n");
    s.expect("in block\r\np3> ");
    s.send("del sys.ps1\n"); // a missing prompt is empty
    s.expect("del sys.ps1\r\n");
    s.send("print 'bare'\n");
    s.expect("bare\r\n");
    EXPECT_EQ(s.finish(), 0);
}

TEST(Prompt, StartupInspectAndBanner)
{
    std::string dir = make_temp_dir();
    write_file(dir + "/startup.zv", "greeting = 'hi'\nprint 'startup ran'\n");
    write_file(dir + "/fails.zv", "x = 3\n1/0\n");
    {
        Session s({"-S"}, {{"ZUVOSTARTUP", dir + "/startup.zv"}});
        s.expect("startup ran\r\n>>> ");
        s.send("print greeting\n");
        s.expect("hi\r\n>>> ");
        EXPECT_EQ(s.finish(), 0);
    }
    {
        Session s({"-E", "-S"}, {{"ZUVOSTARTUP", dir + "/startup.zv"}});
        EXPECT_EQ(s.expect(">>> ").find("startup ran"), std::string::npos);
        EXPECT_EQ(s.finish(), 0);
    }
    {
        // ZUVOSTARTUP is for sessions only, not for a program.
        Session s({"-S", "-c", "print 'prog'"}, {{"ZUVOSTARTUP", dir + "/startup.zv"}});
        EXPECT_EQ(s.wait(), 0);
    }
    {
        // Inspection after a program that failed: its names are there.
        Session s({"-S", "-i", dir + "/fails.zv"});
        std::string report = s.expect(">>> ");
        EXPECT_NE(report.find("ZeroDivisionError"), std::string::npos) << report;
        EXPECT_EQ(report.find("Zuvo 2.4.3"), std::string::npos) << "no banner after a program";
        s.send("print x\n");
        s.expect("3\r\n>>> ");
        EXPECT_EQ(s.finish(), 0);
    }
    {
        Session s({"-S", "-c", "y = 5"}, {{"ZUVOINSPECT", "1"}});
        s.expect(">>> ");
        s.send("print y\n");
        s.expect("5\r\n>>> ");
        EXPECT_EQ(s.finish(), 0);
    }
    {
        Session s({"-E", "-S", "-c", "y = 5"}, {{"ZUVOINSPECT", "1"}});
        EXPECT_EQ(s.wait(), 0);
    }
    {
        // Without -S the banner names the help commands (a failing site
        // import, if any, does not change that).
        Session s({});
        std::string banner = s.expect(">>> ");
        EXPECT_NE(banner.find("Type \"help\", \"copyright\", \"credits\" or \"license\" for more "
                              "information.\r\n"),
                  std::string::npos)
            << banner;
        EXPECT_EQ(s.finish(), 0);
    }
}

} // namespace
