#ifndef ORVIND_TESTS_LOGTAIL_H
#define ORVIND_TESTS_LOGTAIL_H

#include <string>
#include <vector>

// Follows a growing log file: each look reads only what was added since the last one and
// hands out the lines that are complete (a line still being written waits for its end).
// Cheap to call in a polling loop however long the log grows. No test framework needed,
// so benchmarks use it too.
class LogTail {
public:
    explicit LogTail(std::string path) : path_(std::move(path)) {}
    // The lines completed since the last call, without their line ends.
    std::vector<std::string> next();

private:
    std::string path_;
    size_t offset_ = 0;
    std::string partial_;
};

#endif
