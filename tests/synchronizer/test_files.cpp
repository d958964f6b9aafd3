#include "files.h"
#include "logid.h"
#include "runstate.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string bytesOf(int id) {
    return std::string(reinterpret_cast<const char*>(&id), sizeof id);
}

// Puts what `kind` names at `path` (in the folder "sub"), beside the victim that
// links point to. A mark holds 4 bytes; a long one holds -5 and more.
void plant(const std::string& kind, const std::string& path, const std::string& victim) {
    const auto file = [](const std::string& name, const std::string& content, mode_t mode) {
        writeFile(name, content);
        chmod(name.c_str(), mode);
    };
    file(victim, "victim's bytes", 0666);
    if (kind == "no folder") {
        return;
    }
    fs::create_directory(fs::path(path).parent_path());
    if (kind == "file" || kind == "read-only file") {
        file(path, "old", kind == "file" ? 0606 : 0400);
    } else if (kind == "mark" || kind == "short mark") {
        file(path, kind == "mark" ? bytesOf(3) : "\x7f\x7f\x7f", 0640);
    } else if (kind.rfind("long mark", 0) == 0) {
        file(path, bytesOf(-5) + "junk", 0644);
        if (kind != "long mark") { // ", its temporary a ...": left at the temporary's path
            plant(kind.substr(kind.find(" a ") + 3), path + ".new", victim);
        }
    } else if (kind == "link" || kind == "hard link") {
        kind == "link" ? fs::create_symlink(victim, path) : fs::create_hard_link(victim, path);
    } else if (kind == "dangling link") {
        fs::create_symlink(fs::path(victim).parent_path() / "nothing", path);
    } else if (kind == "named pipe") {
        mkfifo(path.c_str(), 0600);
    } else if (kind == "directory") {
        fs::create_directory(path);
    }
}

// Each entry of the folder as it stands, one a line: a file with its mode and its
// text (or its bytes in hex when they are not printable).
std::string listing(const std::string& folder) {
    std::map<std::string, std::string> lines; // by name
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string name = entry.path().string().substr(folder.size() + 1);
        struct stat st;
        lstat(entry.path().c_str(), &st);
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", st.st_mode & 07777);
        std::string what = S_ISLNK(st.st_mode)    ? "link to " + fs::read_symlink(entry).string()
                           : S_ISFIFO(st.st_mode) ? "named pipe"
                           : S_ISDIR(st.st_mode)  ? "directory"
                                                  : std::string("file ") + mode + " ";
        if (S_ISREG(st.st_mode)) {
            const std::string content = readFile(entry.path());
            what += std::all_of(content.begin(), content.end(), isprint)
                        ? "\"" + content + "\""
                        : "[" + hexOf(content.data(), content.size(), " ") + "]";
        }
        lines[name] = what;
    }
    std::string text;
    for (const auto& [name, what] : lines) {
        text += "  " + name + ": " + what + "\n";
    }
    return text;
}

} // namespace

// Each operation on the files the daemon owns, on each thing it may find where the
// file should be: the result, the folder afterwards and the log, against
// tests/data/files/operations.expected (ORVIND_UPDATE_GOLDEN=1 writes it anew). The
// files are made under the strictest umask: a new file has exactly its mode.
TEST(Files, EachOperationOnWhateverItFinds) {
    const std::vector<std::pair<std::string, std::function<std::string(const std::string&)>>>
        operations = {
            {"openOwned 0640",
             [](const std::string& path) {
                 files::Fd fd(files::openOwned(path, O_WRONLY | O_CREAT | O_NONBLOCK, 0640));
                 return fd ? "opened" : files::errorText(errno);
             }},
            {"createAnew 0640, writes \"new\"",
             [](const std::string& path) {
                 files::Fd fd(files::createAnew(path, 0640));
                 return files::errorText(fd ? files::writeAll(fd.get(), "new", 3) : errno);
             }},
            {"writeDurably \"new\" 0640",
             [](const std::string& path) {
                 return files::errorText(files::writeDurably(path, "new", 3, 0640));
             }},
            {"narrowMode 0640",
             [](const std::string& path) {
                 return files::errorText(files::narrowMode(path, 0640));
             }},
            {"notRegular",
             [](const std::string& path) {
                 const char* kind = files::notRegular(path);
                 return kind ? kind : "nullptr";
             }},
            {"moveAside",
             [](const std::string& path) { return files::moveAside(path) ? "true" : "false"; }},
            {"GetLogid",
             [](const std::string& path) { return std::to_string(GetLogid(path.c_str())); }},
            {"SetLogid 42",
             [](const std::string& path) {
                 SetLogid(path.c_str(), 42);
                 return "done";
             }},
        };
    const std::regex stamp("aside-[0-9T]+");
    std::string out;
    for (const auto& [operation, run] : operations) {
        for (const char* kind :
             {"nothing", "file", "read-only file", "mark", "short mark", "long mark",
              "long mark, its temporary a file", "long mark, its temporary a link",
              "long mark, its temporary a hard link", "long mark, its temporary a directory",
              "link", "dangling link", "hard link", "named pipe", "directory", "no folder"}) {
            TempDir dir;
            const std::string path = dir.file("sub/owned");
            plant(kind, path, dir.file("victim"));
            clearTestLog();
            const mode_t mask = umask(0077); // the strictest
            const std::string result = run(path);
            umask(mask);
            std::string text =
                "== " + operation + " on " + kind + ": " + result + "\n" + listing(dir.path());
            for (const std::string& entry : logEntries()) {
                text += "  " + entry + "\n";
            }
            out += std::regex_replace(substituted(text, dir.path(), "DIR"), stamp, "aside-STAMP");
        }
    }
    expectGolden(ORVIND_TEST_DATA "/files/operations.expected", out);
}

// The published state: whole lines, a new daemon's file starts empty, a value that does
// not change does not rewrite the file, and line ends in a value cannot forge a fact. A
// change reaches the hook with every fact, once the file holds it.
TEST(RunState, PublishesEachFactAsOneLineReplacedWhole) {
    TempDir dir;
    const std::string path = dir.path() + "/state";
    writeFile(path, "subscribed 1\n");
    RunState state(path);
    EXPECT_EQ(readFile(path), "");
    int changes = 0;
    state.onChange([&](const std::map<std::string, std::string>& facts) {
        ++changes;
        EXPECT_EQ(RunState::read(path), facts);
    });
    EXPECT_EQ(state.set("subscribed", "0"), 0);
    EXPECT_EQ(state.set("last refusal", "rc=1\nsubscribed 1"), 0);
    EXPECT_EQ(readFile(path), "last_refusal rc=1 subscribed 1\nsubscribed 0\n");
    struct stat before;
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    EXPECT_EQ(before.st_mode & 07777, 0600u);
    EXPECT_EQ(state.set("subscribed", "0"), 0);
    struct stat after;
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    const std::map<std::string, std::string> read = RunState::read(path);
    EXPECT_EQ(read.at("subscribed"), "0");
    EXPECT_EQ(state.get("last_refusal"), "rc=1 subscribed 1");
    EXPECT_EQ(changes, 2);
    EXPECT_TRUE(RunState::read(dir.path() + "/none").empty());
}
