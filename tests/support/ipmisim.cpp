#include "ipmisim.h"

#include "testlog.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <regex>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const char* const kSimulator = "/usr/bin/ipmi_sim";
const char* const kIpmitool = "/usr/bin/ipmitool";
// As tests/data/ipmisim/lan.conf makes them.
const char* const kUser = "admin";
const char* const kPassword = "secret";
const std::string kData = ORVIND_TEST_DATA "/ipmisim/";

// A UDP port on the loopback address that nothing uses now (0 when none can be had).
int freePort() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    bool bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                 getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0;
    close(fd);
    return bound ? ntohs(addr.sin_port) : 0;
}

} // namespace

IpmiSim::IpmiSim(int size) : selSize(size) {
    char pattern[] = "/tmp/orvind-ipmisim-XXXXXX";
    if (mkdtemp(pattern) != nullptr) {
        dir = pattern;
        fs::create_directory(dir + "/state");
    }
}

IpmiSim::~IpmiSim() {
    stop();
    if (!dir.empty()) {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
}

bool IpmiSim::available() {
    return access(kSimulator, X_OK) == 0 && access(kIpmitool, X_OK) == 0;
}

std::string IpmiSim::address() const {
    return "127.0.0.1:" + std::to_string(port);
}

void IpmiSim::useFromHere() const {
    setenv("ORVIND_BMC_LAN", address().c_str(), 1);
    setenv("ORVIND_BMC_USER", kUser, 1);
    setenv("ORVIND_BMC_PASSWORD", kPassword, 1);
}

bool IpmiSim::start() {
    if (pid > 0) {
        return true;
    }
    if (dir.empty()) {
        error = "no folder for the simulator";
        return false;
    }
    if (port == 0) {
        port = freePort(); // kept across a stop and start
    }
    std::string conf = dir + "/lan.conf";
    std::string emu = dir + "/sim.emu";
    std::string output = dir + "/ipmi_sim.out";
    writeFile(conf, substituted(readFile(kData + "lan.conf"), "@PORT@", std::to_string(port)));
    writeFile(emu, substituted(readFile(kData + "sim.emu"), "@SELSIZE@", std::to_string(selSize)));
    std::string state = dir + "/state";
    pid_t child = fork();
    if (child < 0) {
        error = std::string("fork: ") + strerror(errno);
        return false;
    }
    if (child == 0) {
        int out = open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        int in = open("/dev/null", O_RDONLY);
        if (out >= 0 && in >= 0) {
            dup2(in, 0);
            dup2(out, 1);
            dup2(out, 2);
        }
        execl(kSimulator, kSimulator, "-c", conf.c_str(), "-f", emu.c_str(), "-s", state.c_str(),
              "-n", static_cast<char*>(nullptr));
        _exit(127);
    }
    pid = child;
    // Ready once it answers Get SEL Info.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = 0;
            error = "ipmi_sim ended at start; its output is in " + output;
            return false;
        }
        if (ipmitool("raw 0x0a 0x40").find(' ') != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    error = "ipmi_sim does not answer on " + address();
    stop();
    return false;
}

// It ends on SIGTERM, having written its state.
void IpmiSim::stop() {
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        pid = 0;
    }
}

std::string IpmiSim::ipmitool(const std::string& args) const {
    const std::string out = dir + "/ipmitool.out";
    const std::string command = std::string(kIpmitool) +
                                " -I lanplus -C 3 -N 1 -R 2 -H 127.0.0.1 -p " +
                                std::to_string(port) + " -U " + kUser + " -P " + kPassword + " " +
                                args + " >" + out + " 2>/dev/null";
    return std::system(command.c_str()) == 0 ? readFile(out) : "";
}

std::vector<IpmiSim::Record> IpmiSim::sel() const {
    // Lines such as "   1 | OEM record e0 | 0102030405060708090a0b0c0d", the id in hex; a
    // line without "OEM record" is a system event record.
    static const std::regex row(
        "^ *([0-9a-fA-F]+) \\|( OEM record ([0-9a-fA-F]+) \\| *([0-9a-fA-F]*))?");
    std::vector<Record> records;
    std::istringstream in(ipmitool("sel list"));
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
        if (std::regex_search(line, m, row)) {
            unsigned type =
                m[2].matched ? static_cast<unsigned>(std::stoul(m[3], nullptr, 16)) : 0x02;
            records.push_back({static_cast<unsigned>(std::stoul(m[1], nullptr, 16)), type, m[4]});
        }
    }
    return records;
}
