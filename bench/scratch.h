#ifndef ORVIND_BENCH_SCRATCH_H
#define ORVIND_BENCH_SCRATCH_H

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

// A folder of the benchmark's own under `parent`, removed with its contents at exit.
class Scratch {
public:
    Scratch(const std::string& parent, const std::string& name) {
        std::string pattern = parent + "/orvind-" + name + "-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path = pattern;
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    std::string path;
};

#endif
