#ifndef ORVIND_TESTS_TESTSQL_H
#define ORVIND_TESTS_TESTSQL_H

#include <map>
#include <memory>
#include <string>
#include <vector>

struct sqlite3;

// A connection of the test's own to a database file, to prepare it and to read back
// what the daemon's pieces wrote. Failing statements throw, which fails the test.
class TestDb {
public:
    // With `typed`, every value reads as "type:text" ("integer:6", "null:").
    explicit TestDb(const std::string& path, bool typed = false);

    void exec(const std::string& sql);
    // Each row of the result; SQL NULL reads as kSqlNull unless typed.
    std::vector<std::vector<std::string>> rows(const std::string& sql);
    // The first value of the first row, "none" without one.
    std::string value(const std::string& sql);
    // Each row as column name to value.
    std::vector<std::map<std::string, std::string>> records(const std::string& sql);

    static constexpr const char* kSqlNull = "<SQL NULL>";

private:
    std::vector<std::vector<std::string>> run(const std::string& sql,
                                              std::vector<std::string>* names);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> db_;
    bool typed_;
};

#endif
