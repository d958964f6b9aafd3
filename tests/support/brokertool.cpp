#include "brokertool.h"

#include "testlog.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

ToolResult runBrokerTool(const std::vector<std::string>& args, const std::string& dir) {
    TempDir temp;
    std::string outPath = temp.file("out");
    std::string errPath = temp.file("err");
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

    ToolResult result;
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0) {
            _exit(127);
        }
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execv(cargs[0], cargs.data());
        _exit(127);
    }
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    }
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}
