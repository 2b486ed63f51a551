#include "clitest.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

const std::string &zuvo_exe()
{
    static const std::string exe = ZUVO_EXE;
    return exe;
}

std::vector<std::string> child_environment(
    const std::vector<std::pair<std::string, std::string>> &extra)
{
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; e++)
        if (std::strncmp(*e, "ZUVO", 4) != 0) env.push_back(*e);
    for (const auto &kv : extra) env.push_back(kv.first + "=" + kv.second);
    return env;
}

namespace {

// The scratch directories made by this test program, removed at its exit.
std::vector<std::string> &scratch_dirs()
{
    static std::vector<std::string> dirs;
    return dirs;
}

void remove_scratch_dirs()
{
    std::error_code ignored;
    for (const std::string &d : scratch_dirs()) std::filesystem::remove_all(d, ignored);
}

} // namespace

std::string make_temp_dir()
{
    const char *tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/zvcli.XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) std::abort();
    if (scratch_dirs().empty()) std::atexit(remove_scratch_dirs);
    scratch_dirs().push_back(templ);
    return templ;
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

namespace {

std::vector<char *> c_strings(std::vector<std::string> &v)
{
    std::vector<char *> r;
    for (std::string &s : v) r.push_back(s.data());
    r.push_back(nullptr);
    return r;
}

// Feeds the input and drains both outputs together, so that neither side
// blocks on a full pipe.
void pump(int in_fd, const std::string &input, int out_fd, int err_fd, Outcome &o)
{
    size_t written = 0;
    if (input.empty()) close(in_fd), in_fd = -1;
    char buf[4096];
    while (out_fd >= 0 || err_fd >= 0) {
        pollfd fds[3] = {{in_fd, POLLOUT, 0}, {out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (in_fd >= 0 && (fds[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(in_fd, input.data() + written, input.size() - written);
            if (n > 0) written += (size_t)n;
            if (n < 0 || written == input.size()) close(in_fd), in_fd = -1;
        }
        int *fd[2] = {&out_fd, &err_fd};
        std::string *dest[2] = {&o.out, &o.err};
        for (int i = 0; i < 2; i++) {
            if (*fd[i] < 0 || !(fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = read(*fd[i], buf, sizeof buf);
            if (n > 0)
                dest[i]->append(buf, (size_t)n);
            else
                close(*fd[i]), *fd[i] = -1;
        }
    }
    if (in_fd >= 0) close(in_fd);
}

} // namespace

Outcome run_zuvo(const Invocation &how)
{
    std::vector<std::string> argv = {zuvo_exe()};
    argv.insert(argv.end(), how.args.begin(), how.args.end());
    std::vector<std::string> env = child_environment(how.env);
    std::vector<char *> cargv = c_strings(argv), cenv = c_strings(env);

    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) std::abort();
    // A test never dies of a closed pipe: the write just fails.
    signal(SIGPIPE, SIG_IGN);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(how.merge_stderr ? out[1] : err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
        if (!how.cwd.empty() && chdir(how.cwd.c_str()) != 0) _exit(126);
        execve(cargv[0], cargv.data(), cenv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    Outcome o;
    pump(in[1], how.input, out[0], err[0], o);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return o;
}
