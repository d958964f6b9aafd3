// The simulated BMC's state folder: UUID, faults, FPL and received commands.
#include "storage.h"
#include "tallow_sim.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace tallowsim {

const char* const kDirVariable = "ORVIND_BMC_DIR";
const char* const kDictionaryVariable = "ORVIND_BMC_DICTIONARY";
const char* const kDmiUuidVariable = "ORVIND_BMC_DMI_UUID";

const char* const kFplFile = "fpl";
const char* const kCommandsFile = "commands";
const char* const kFaultsFile = "faults";
const char* const kUuidFile = "uuid";
const char* const kDictionaryFile = "event-dictionary.txt";

namespace {

const char* const kDefaultDir = "/var/lib/orvind-bmc";
const char* const kDmiUuidPath = "/sys/class/dmi/id/product_uuid";
const char* const kRandomUuidPath = "/proc/sys/kernel/random/uuid";
const size_t kUuidMax = sizeof(BMC_cap_t::UUID) - 1;

std::string trim(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && isspace(static_cast<unsigned char>(text[begin]))) {
        ++begin;
    }
    while (end > begin && isspace(static_cast<unsigned char>(text[end - 1]))) {
        --end;
    }
    return text.substr(begin, end - begin);
}

// The first line of a file, trimmed; empty when unreadable.
std::string firstLine(const std::string& path) {
    std::string content;
    if (!readWholeFile(path, &content, nullptr)) {
        return "";
    }
    return trim(content.substr(0, content.find('\n')));
}

std::string freshUuid() {
    std::string text = firstLine(kRandomUuidPath);
    if (text.size() == 36) {
        return text;
    }
    std::random_device random;
    unsigned char bytes[16];
    for (unsigned char& byte : bytes) {
        byte = static_cast<unsigned char>(random());
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40); // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80); // RFC 4122 variant
    char out[37];
    snprintf(out, sizeof out,
             "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
             bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
             bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return out;
}

const struct {
    const char* name;
    int Faults::*field;
    long long max;
} kFaultNames[] = {
    {"open", &Faults::open, INT_MAX},    {"append", &Faults::append, INT_MAX},
    {"cli", &Faults::cli, 255},          {"cli-status", &Faults::cliStatus, 255},
    {"forget", &Faults::forget, 0xFFFF},
};

void appendEscaped(std::string& out, const std::string& text) {
    for (char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
}

bool unescape(const std::string& text, std::string* out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            *out += text[i];
            continue;
        }
        if (++i == text.size()) {
            return false;
        }
        switch (text[i]) {
        case '\\':
            *out += '\\';
            break;
        case 't':
            *out += '\t';
            break;
        case 'n':
            *out += '\n';
            break;
        case 'r':
            *out += '\r';
            break;
        default:
            return false;
        }
    }
    return true;
}

} // namespace

bool parseNumber(const std::string& text, uint64_t* value) {
    if (text.empty()) {
        return false;
    }
    int base = 10;
    size_t start = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        start = 2;
    }
    uint64_t result = 0;
    for (size_t i = start; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        unsigned digit;
        if (isdigit(c)) {
            digit = c - '0';
        } else if (base == 16 && isxdigit(c)) {
            digit = static_cast<unsigned>(tolower(c) - 'a' + 10);
        } else {
            return false;
        }
        if (result > (UINT64_MAX - digit) / static_cast<uint64_t>(base)) {
            return false;
        }
        result = result * static_cast<uint64_t>(base) + digit;
    }
    *value = result;
    return true;
}

std::string stateDir() {
    const char* dir = getenv(kDirVariable);
    if (dir != nullptr && dir[0] != '\0') {
        return dir;
    }
    return kDefaultDir;
}

bool makeStateDir(const std::string& dir, std::string* error) {
    if (dir.empty()) {
        *error = "empty state folder name";
        return false;
    }
    // Every prefix ending before a '/', then the folder itself.
    for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
        std::string part = slash == std::string::npos ? dir : dir.substr(0, slash);
        if (!part.empty() && mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            *error = errnoText(part);
            return false;
        }
        if (slash == std::string::npos) {
            break;
        }
    }
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) {
        *error = errnoText(dir);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *error = dir + ": not a folder";
        return false;
    }
    return true;
}

std::string systemUuid(const std::string& dir) {
    const char* dmi = getenv(kDmiUuidVariable);
    std::string uuid = firstLine(dmi != nullptr && dmi[0] != '\0' ? dmi : kDmiUuidPath);
    if (!uuid.empty() && uuid.size() <= kUuidMax) {
        return uuid;
    }
    std::string path = joinPath(dir, kUuidFile);
    uuid = firstLine(path);
    if (!uuid.empty()) {
        return uuid.substr(0, kUuidMax);
    }
    // Made once: the new UUID is written beside the file and linked into place, so
    // two processes doing this at once agree on the one that got there first.
    std::string made = freshUuid();
    std::string temp = path + ".new." + std::to_string(getpid());
    std::string error;
    if (!writeFileAtomic(temp, made + "\n", &error)) {
        return "";
    }
    int rc = link(temp.c_str(), path.c_str());
    unlink(temp.c_str());
    if (rc != 0) {
        return firstLine(path).substr(0, kUuidMax);
    }
    syncDir(dir);
    return made;
}

Faults readFaults(const std::string& dir) {
    Faults faults;
    std::string path = joinPath(dir, kFaultsFile);
    std::string content;
    if (!readWholeFile(path, &content, nullptr)) {
        return faults;
    }
    std::istringstream in(content);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        std::istringstream words(line);
        std::string name, value, rest;
        if (!(words >> name) || name[0] == '#') {
            continue;
        }
        uint64_t parsed = 0;
        std::string error;
        if (!(words >> value) || (words >> rest) || !parseNumber(value, &parsed) ||
            !setFault(faults, name, static_cast<long long>(parsed > INT_MAX ? LLONG_MAX : parsed),
                      &error)) {
            fprintf(stderr, "tallow: %s:%d: ignored: %s\n", path.c_str(), number,
                    error.empty() ? "expected a fault name and a number" : error.c_str());
        }
    }
    return faults;
}

bool setFault(Faults& faults, const std::string& name, long long value, std::string* error) {
    for (const auto& known : kFaultNames) {
        if (name == known.name) {
            if (value < 0 || value > known.max) {
                *error =
                    "value of " + name + " out of range (0 to " + std::to_string(known.max) + ")";
                return false;
            }
            faults.*known.field = static_cast<int>(value);
            return true;
        }
    }
    *error = "unknown fault '" + name + "' (open, append, cli, cli-status, forget)";
    return false;
}

bool writeFaults(const std::string& dir, const Faults& faults, std::string* error) {
    std::string content = "# faults of the simulated BMC; set and cleared with orvind-bmc fault\n";
    for (const auto& known : kFaultNames) {
        if (faults.*known.field != 0) {
            content += std::string(known.name) + " " + std::to_string(faults.*known.field) + "\n";
        }
    }
    return writeFileAtomic(joinPath(dir, kFaultsFile), content, error);
}

bool readFpl(const std::string& dir, Fpl& out, std::string* error) {
    out = Fpl();
    std::string content;
    if (!readWholeFile(joinPath(dir, kFplFile), &content, error)) {
        return errno == ENOENT;
    }
    size_t count = content.size() / sizeof(SEL_entry_t);
    out.records.resize(count);
    if (count > 0) {
        memcpy(out.records.data(), content.data(), count * sizeof(SEL_entry_t));
    }
    out.trailingBytes = content.size() % sizeof(SEL_entry_t);
    return true;
}

std::string encodeCommand(const Command& command) {
    std::string line = std::to_string(command.time) + "\t" + std::to_string(command.status) + "\t";
    appendEscaped(line, command.name);
    line += '\t';
    appendEscaped(line, command.arg);
    line += '\n';
    return line;
}

bool decodeCommand(const std::string& line, Command* command) {
    size_t first = line.find('\t');
    size_t second = first == std::string::npos ? first : line.find('\t', first + 1);
    size_t third = second == std::string::npos ? second : line.find('\t', second + 1);
    if (third == std::string::npos) {
        return false;
    }
    uint64_t time = 0;
    uint64_t status = 0;
    if (!parseNumber(line.substr(0, first), &time) ||
        !parseNumber(line.substr(first + 1, second - first - 1), &status) || status > 255 ||
        time > static_cast<uint64_t>(LLONG_MAX)) {
        return false;
    }
    command->time = static_cast<long long>(time);
    command->status = static_cast<int>(status);
    return unescape(line.substr(second + 1, third - second - 1), &command->name) &&
           unescape(line.substr(third + 1), &command->arg);
}

bool readCommands(const std::string& dir, std::vector<Command>& out, std::string* error) {
    out.clear();
    std::string content;
    if (!readWholeFile(joinPath(dir, kCommandsFile), &content, error)) {
        return errno == ENOENT;
    }
    std::istringstream in(content);
    std::string line;
    Command command;
    while (std::getline(in, line)) {
        if (decodeCommand(line, &command)) {
            out.push_back(command);
        }
    }
    return true;
}

std::vector<std::string> commandItems(const std::string& arg) {
    std::vector<std::string> items;
    size_t start = 0;
    for (size_t cut = arg.find(" --"); cut != std::string::npos; cut = arg.find(" --", cut + 1)) {
        items.push_back(arg.substr(start, cut - start));
        start = cut + 1;
    }
    if (start < arg.size()) {
        items.push_back(arg.substr(start));
    }
    return items;
}

bool clearFpl(const std::string& dir, std::string* error) {
    return truncateLocked(dir, kFplFile, error);
}

bool clearCommands(const std::string& dir, std::string* error) {
    return truncateLocked(dir, kCommandsFile, error);
}

} // namespace tallowsim
