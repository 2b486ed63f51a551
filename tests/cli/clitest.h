// Running the built `zuvo` command as a user would: arguments, standard
// input, environment and working directory in; standard output, standard
// error and the exit status out.
#ifndef ZV_TEST_CLITEST_H
#define ZV_TEST_CLITEST_H

#include <string>
#include <utility>
#include <vector>

struct Invocation {
    std::vector<std::string> args; // after the program name
    std::string input;             // written to standard input, then closed
    // Set in the child's environment, after every ZUVO* variable of the
    // test's own environment was removed.
    std::vector<std::pair<std::string, std::string>> env;
    std::string cwd;           // "" keeps the test's directory
    bool merge_stderr = false; // standard error into the standard output pipe
};

struct Outcome {
    int status = -1; // the exit status, or 128 + the signal that ended it
    std::string out, err;
};

// The built zuvo, as the program name (argv[0]) it runs under.
const std::string &zuvo_exe();
Outcome run_zuvo(const Invocation &how);
// A fresh directory under the system's temporary directory, removed with
// everything in it when the test program exits.
std::string make_temp_dir();
void write_file(const std::string &path, const std::string &text);
// The environment to start the child with: the test's own without any
// ZUVO* variable, plus `extra`.
std::vector<std::string> child_environment(
    const std::vector<std::pair<std::string, std::string>> &extra);

#endif
