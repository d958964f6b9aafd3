#include "cimcobjects.h"
#include "sqlitedb.h"
#include "testlog.h"
#include "testsql.h"
#include "values.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <sqlite3.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

// The store's pauses while the database is busy, taken without waiting: this test
// stands in for the C library's sleep. Each pause is noted, and whatever the test
// set to happen meanwhile (another program letting go of the database) happens.
namespace {
std::mutex pausesLock;
std::vector<unsigned> pausesTaken;
std::function<void()> duringPause;
} // namespace

extern "C" unsigned int sleep(unsigned int seconds) {
    std::lock_guard<std::mutex> hold(pausesLock);
    pausesTaken.push_back(seconds);
    if (duringPause) {
        duringPause();
        duringPause = nullptr;
    }
    return 0;
}

namespace {

const std::string kData = std::string(ORVIND_TEST_DATA) + "/store/";

// An alert indication as the parser builds it, holding each property of the lines
// `NAME = "text"` (a value as the parser renders it) or `NAME = null` (the null state).
CimcPtr<CIMCInstance> newAlert(const std::vector<std::string>& properties) {
    CimcPtr<CIMCObjectPath> op(cimc::newObjectPath("root/zarn", "VEXA_AlertIndication"));
    CimcPtr<CIMCInstance> inst(cimc::newInstance(op.get(), nullptr));
    for (const std::string& line : properties) {
        const size_t is = line.find(" = ");
        const std::string name = line.substr(0, is), value = line.substr(is + 3);
        std::string text = value.substr(1, value.size() - 2);
        auto* chars = reinterpret_cast<CIMCValue*>(text.data());
        inst->ft->setProperty(inst.get(), name.c_str(), value == "null" ? nullptr : chars,
                              value == "null" ? CIMC_string : CIMC_chars);
    }
    return inst;
}

class Store : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("indications.db");
    std::string raw = dir.file("fifo.tmp");
};

// A fetched record on one line, its texts in brackets and its location as the bytes of
// the structure.
std::string recordLine(const Indication_t& ind) {
    const bool none = memcmp(&ind.hw_location, &BMC_physloc_NULL, sizeof ind.hw_location) == 0;
    const std::string location = none ? "null" : hexOf(&ind.hw_location, sizeof ind.hw_location);
    return std::to_string(ind.id) + " [" + ind.proName + "] event=" + std::to_string(ind.eventId) +
           " time=" + std::to_string(ind.eventTime) + " location=" + location + " part=[" +
           ind.partNumber + "] firmware=[" + ind.systemFirmwareVersion + "] address=[" +
           ind.address + "]\n";
}

// Each row, with the columns that are not empty for their type (their values in brackets).
std::string rowLines(TestDb& sql, const std::string& where) {
    const auto columns = sql.rows("select name, type from pragma_table_info('indication')");
    std::string text;
    for (const auto& row : sql.rows("select * from indication " + where + " order by Id")) {
        text += "row " + row[0] + "\n";
        for (size_t i = 1; i < row.size(); ++i) {
            const bool number = columns[i][1] == "text:SMALLINT" || columns[i][1] == "text:INTEGER";
            if (row[i] != (number ? "null:" : "text:")) {
                // A NUL byte shows as \0, so that the file stays text.
                text += "  " + columns[i][0].substr(5) + " [" +
                        substituted(row[i], std::string(1, '\0'), "\\0") + "]\n";
            }
        }
    }
    return text;
}

// A filesystem that cannot map SQLite's shared-memory index, as some network and
// user-space filesystems: the default VFS, with the mapping of every database's index
// failing as a failed mmap does.
sqlite3_vfs* realVfs = nullptr;
sqlite3_vfs noShmVfs;
sqlite3_io_methods noShmMethods;
int (*realShmMap)(sqlite3_file*, int, int, int, void volatile**) = nullptr;

int failShmMap(sqlite3_file* file, int region, int size, int extend, void volatile** memory) {
    realShmMap(file, region, size, extend, memory);
    *memory = nullptr;
    return SQLITE_IOERR_SHMMAP;
}

int openWithoutShm(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* out) {
    int rc = realVfs->xOpen(realVfs, name, file, flags, out);
    if (rc == SQLITE_OK && (flags & SQLITE_OPEN_MAIN_DB) != 0 && file->pMethods != nullptr) {
        noShmMethods = *file->pMethods;
        realShmMap = file->pMethods->xShmMap;
        noShmMethods.xShmMap = failShmMap;
        file->pMethods = &noShmMethods;
    }
    return rc;
}

void useFilesystemWithoutShm() {
    realVfs = sqlite3_vfs_find(nullptr);
    noShmVfs = *realVfs;
    noShmVfs.zName = "noshm";
    noShmVfs.xOpen = openWithoutShm;
    sqlite3_vfs_register(&noShmVfs, 1);
}

} // namespace

// The steps of store.cases: storing, fetching and marking, and the table's life.
TEST_F(Store, Steps) {
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1); // spelt out: no zone database needed
    tzset();
    std::unique_ptr<SQLiteDB> db;
    std::unique_ptr<TestDb> holder;
    std::string out;
    for (const GoldenCase& step : readCases(kData + "store.cases")) {
        const std::vector<std::string>& lines = step.second; // a lambda below reads them
        std::istringstream words(step.first);
        std::string verb, arg;
        words >> verb;
        std::getline(words >> std::ws, arg);
        out += "== " + step.first + "\n";
        const std::string file = dir.file(arg.substr(0, arg.find(' ')));
        clearTestLog();
        pausesTaken.clear();
        if (verb == "hold" || verb == "release") {
            holder.reset();
            if (verb == "hold") {
                holder = std::make_unique<TestDb>(file, true);
                const bool reading = arg.find("reading") != std::string::npos;
                holder->exec(reading ? "BEGIN; select count(*) from indication"
                                     : "BEGIN EXCLUSIVE");
                if (arg.find("until a pause") != std::string::npos) {
                    duringPause = [&] { holder->exec("ROLLBACK"); };
                }
            }
            continue;
        }
        if (verb == "open") {
            try {
                db.reset();
                db = std::make_unique<SQLiteDB>(file, raw);
            } catch (const std::exception& e) {
                out += std::string("threw: ") + e.what() + "\n";
            }
        } else if (verb == "close") {
            db.reset();
        } else if (verb == "killed") {
            const int status = inChild([&] {
                auto* sql = new TestDb(file); // never closed
                for (const std::string& line : lines) {
                    sql->exec(line);
                }
                return 0;
            });
            out += "exit status: " + std::to_string(status) + "\n";
        } else if (verb == "noshm") {
            const int failures = inChild([&] {
                useFilesystemWithoutShm();
                int failed = 0;
                std::istringstream names(arg);
                for (std::string name; names >> name;) {
                    SQLiteDB store(dir.file(name), raw);
                    failed +=
                        store.storeIndication(newAlert({"ProviderName = \"Fan\""}).get()) != 0;
                    Indication_t ind = {};
                    failed += !store.getIndication(&ind);
                    failed += store.updateIndication(ind.id) != 0;
                }
                return failed;
            });
            out += "failures: " + std::to_string(failures) + "\n";
        } else if (verb == "sql") {
            TestDb sql(file, true);
            for (const std::string& line : lines) {
                out += "sql> " + line + "\n";
                if (line.rfind(".read ", 0) == 0) {
                    sql.exec(readFile(kData + line.substr(6)));
                    continue;
                }
                for (const auto& row : sql.rows(line)) {
                    std::string joined;
                    for (const std::string& value : row) {
                        joined += (joined.empty() ? "" : "|") + value;
                    }
                    out += joined + "\n";
                }
            }
        } else if (verb == "rows") {
            TestDb sql(file, true);
            out += rowLines(sql, arg.substr(arg.find(' ') + 1));
        } else if (verb == "store") {
            unlink(raw.c_str());
            if (!arg.empty()) {
                writeFile(raw, readFile(kData + arg));
            }
            std::vector<std::string> properties = lines;
            if (lines == std::vector<std::string>{"every column = its name"}) {
                properties.clear();
                for (const auto& column : TestDb(path).rows(
                         "select name from pragma_table_info('indication') where name not in "
                         "('Id', 'Status', 'RawData')")) {
                    properties.push_back(column[0] + " = \"" + column[0] + "\"");
                }
            }
            out +=
                "result: " + std::to_string(db->storeIndication(newAlert(properties).get())) + "\n";
        } else if (verb == "fetch") {
            // Each record is filled with 0x5a first, so a text field left without its end
            // shows, and so does a record touched when there was nothing to fetch.
            Indication_t ind, filled;
            memset(&filled, 0x5a, sizeof filled);
            for (ind = filled; db->getIndication(&ind); ind = filled) {
                out += recordLine(ind);
                db->updateIndication(ind.id);
            }
            out += memcmp(&ind, &filled, sizeof ind) == 0 ? "none left\n"
                                                          : "none left, record changed\n";
        } else if (verb == "group") {
            try {
                db->intakePosition(); // the position's table made
            } catch (const std::exception&) {
            }
            SQLiteDB::Batch batch;
            db->collectInto(&batch);
            db->storeIndication(newAlert(lines).get());
            db->collectInto(nullptr);
            out += "result: " + std::to_string(db->commitBatch(batch, std::stoull(arg))) + "\n";
        } else if (verb == "checkpoint") {
            out += "result: " + std::to_string(db->checkpoint()) + "\n";
        } else if (verb == "mark") {
            out += "result: " + std::to_string(db->updateIndication(std::stoi(arg))) + "\n";
        } else {
            ADD_FAILURE() << "unknown step " << verb;
        }
        duringPause = nullptr;
        for (unsigned seconds : pausesTaken) {
            out += "pause " + std::to_string(seconds) + "\n";
        }
        for (const std::string& entry : logEntries()) {
            out += substituted(entry, dir.path(), "DIR") + "\n";
        }
    }
    expectGolden(kData + "store.expected", out);
}

TEST_F(Store, AFileThatIsNoDatabaseIsMovedAsideAndANewOneMade) {
    const std::string text = readFile(kData + "schema.sql"); // text, no database
    writeFile(path, text);
    clearTestLog();
    SQLiteDB db(path, raw);
    const std::string logged = readTestLog().substr(21); // one entry, its time stamp cut off
    const std::string aside = path + logged.substr(logged.find(".damaged-"), 24); // dated
    EXPECT_EQ(logged, "[error] The database " + path + " is damaged (file is not a database): " +
                          "moved aside to " + aside + "; a new one is made.\n");
    EXPECT_EQ(readFile(aside), text) << "nothing deleted";
    EXPECT_EQ(db.storeIndication(newAlert({}).get()), 0);
}
