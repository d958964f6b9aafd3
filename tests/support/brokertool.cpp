#include "brokertool.h"

#include "testlog.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

ToolResult runBrokerTool(const std::vector<std::string>& args, const std::string& dir) {
    TempDir temp;
    std::vector<std::string> argv = {ORVIND_TOOLS_DIR "/orvind-broker"};
    if (!dir.empty()) {
        argv.push_back("--dir");
        argv.push_back(dir);
    }
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargs;
    for (std::string& a : argv) {
        cargs.push_back(a.data());
    }
    cargs.push_back(nullptr);

    // Standard input from /dev/null, the outputs to files of their own.
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, temp.file("out").c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_addopen(&files, 2, temp.file("err").c_str(), O_WRONLY | O_CREAT, 0600);
    ToolResult result;
    pid_t pid = 0;
    int status = 0;
    if (posix_spawn(&pid, cargs[0], &files, nullptr, cargs.data(), environ) == 0 &&
        waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    }
    posix_spawn_file_actions_destroy(&files);
    result.out = readFile(temp.file("out"));
    result.err = readFile(temp.file("err"));
    return result;
}
