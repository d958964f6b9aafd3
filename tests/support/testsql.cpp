#include "testsql.h"

#include <sqlite3.h>

#include <stdexcept>

TestDb::TestDb(const std::string& path, bool typed) : db_(nullptr, sqlite3_close), typed_(typed) {
    sqlite3* db = nullptr;
    const int rc = sqlite3_open(path.c_str(), &db);
    db_.reset(db);
    if (rc != SQLITE_OK) {
        throw std::runtime_error(path + ": " + sqlite3_errstr(rc));
    }
}

void TestDb::exec(const std::string& sql) {
    if (sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
        throw std::runtime_error(sql + ": " + sqlite3_errmsg(db_.get()));
    }
}

std::vector<std::vector<std::string>> TestDb::rows(const std::string& sql) {
    return run(sql, nullptr);
}

std::string TestDb::value(const std::string& sql) {
    const auto result = rows(sql);
    return result.empty() || result[0].empty() ? "none" : result[0][0];
}

std::vector<std::map<std::string, std::string>> TestDb::records(const std::string& sql) {
    std::vector<std::string> names;
    std::vector<std::map<std::string, std::string>> result;
    for (const auto& row : run(sql, &names)) {
        auto& record = result.emplace_back();
        for (size_t i = 0; i < row.size(); ++i) {
            record[names[i]] = row[i];
        }
    }
    return result;
}

std::vector<std::vector<std::string>> TestDb::run(const std::string& sql,
                                                  std::vector<std::string>* names) {
    static const char* const types[] = {"", "integer:", "real:", "text:", "blob:", "null:"};
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_.get(), sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
        throw std::runtime_error(sql + ": " + sqlite3_errmsg(db_.get()));
    }
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(raw, sqlite3_finalize);
    for (int i = 0; names != nullptr && i < sqlite3_column_count(stmt.get()); ++i) {
        names->push_back(sqlite3_column_name(stmt.get(), i));
    }
    std::vector<std::vector<std::string>> result;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        auto& row = result.emplace_back();
        for (int i = 0; i < sqlite3_column_count(stmt.get()); ++i) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), i));
            const std::string value = text ? std::string(text, sqlite3_column_bytes(stmt.get(), i))
                                           : (typed_ ? "" : kSqlNull);
            row.push_back(typed_ ? types[sqlite3_column_type(stmt.get(), i)] + value : value);
        }
    }
    if (rc != SQLITE_DONE) {
        throw std::runtime_error(sql + ": " + sqlite3_errmsg(db_.get()));
    }
    return result;
}
