// Costs of the indication store: fetching the oldest unforwarded row while the
// forwarded history grows, and storing one typical instance.
#include "logger.h"
#include "scratch.h"
#include "sqlitedb.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <map>
#include <sqlite3.h>
#include <stdexcept>
#include <string>

Logger logger("/dev/null");

namespace {

// A folder under /tmp for the benchmark's databases, removed at exit.
Scratch& scratch() {
    static Scratch folder("/tmp", "bench");
    return folder;
}

void exec(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string text = std::string(sql) + ": " + (error ? error : "");
        sqlite3_free(error);
        throw std::runtime_error(text);
    }
}

// A database holding `forwarded` rows with status 1 followed by ten still to
// forward, built once per size in one transaction.
std::string databaseWith(int forwarded) {
    static std::map<int, std::string> built;
    auto found = built.find(forwarded);
    if (found != built.end()) {
        return found->second;
    }
    std::string path = scratch().path + "/history-" + std::to_string(forwarded) + ".db";
    {
        SQLiteDB store(path); // the table and its index, as the daemon makes them
    }
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    exec(db, "PRAGMA synchronous=OFF");
    exec(db, "BEGIN");
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db,
                       "insert into indication(Status, ProviderName, EventID, EventTime, "
                       "SystemFirmwareVersion, HWPartNumber, HWEncodingPhysicalLocation, "
                       "HWPhysicalLocation, NetworkAddresses) values(?, 'Fan Monitor Provider', "
                       "'12', '20140315123456.000000+060', '1.2.3', 'AB123', 'NULL', "
                       "'0000000102030405', '10.0.0.1 fe80::1 ')",
                       -1, &insert, nullptr);
    for (int i = 0; i < forwarded + 10; ++i) {
        sqlite3_bind_int(insert, 1, i < forwarded ? 1 : 0);
        sqlite3_step(insert);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    exec(db, "COMMIT");
    sqlite3_close(db);
    built[forwarded] = path;
    return path;
}

// Fetches the oldest unforwarded row over and over.
void fetchRepeatedly(benchmark::State& state, SQLiteDB& store) {
    for (auto _ : state) {
        Indication_t ind = {};
        if (!store.getIndication(&ind)) {
            state.SkipWithError("no row to fetch");
            break;
        }
        benchmark::DoNotOptimize(ind);
    }
}

void BM_GetIndication(benchmark::State& state) {
    SQLiteDB store(databaseWith(static_cast<int>(state.range(0))));
    fetchRepeatedly(state, store);
}
BENCHMARK(BM_GetIndication)->Arg(1000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

// The same fetch over the same history with the index dropped: what every fetch
// would cost without it.
void BM_GetIndicationWithoutIndex(benchmark::State& state) {
    std::string path = databaseWith(static_cast<int>(state.range(0)));
    SQLiteDB store(path);
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    exec(db, "DROP INDEX indication_unforwarded");
    fetchRepeatedly(state, store);
    exec(db, "CREATE INDEX indication_unforwarded ON indication(Id) WHERE Status=0");
    sqlite3_close(db);
}
BENCHMARK(BM_GetIndicationWithoutIndex)->Arg(1000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

// A typical alert indication, as the parser builds it from a delivered document.
CIMCInstance* typicalInstance(CIMCEnv* env) {
    CIMCObjectPath* op = env->ft->newObjectPath(env, "root/zarn", "VEXA_AlertIndication", nullptr);
    CIMCInstance* inst = env->ft->newInstance(env, op, nullptr);
    op->ft->release(op);
    auto text = [inst](const char* name, const char* value) {
        inst->ft->setProperty(inst, name, reinterpret_cast<CIMCValue*>(const_cast<char*>(value)),
                              CIMC_chars);
    };
    text("IndicationIdentifier", "VEXA:1394883296:17");
    text("ProviderName", "Fan Monitor Provider");
    text("ProviderVersion", "2.10");
    text("Description", "Fan 2 in enclosure 1 is not turning; its speed fell below 500 RPM");
    text("RecommendedActions", "Check the fan's seat; replace the fan if it stays stopped");
    text("EventID", "12");
    text("EventTime", "20140315123456.000000+060");
    text("HWPhysicalLocation", "0000000102030405");
    text("SystemFirmwareVersion", "1.2.3");
    text("SystemSerialNumber", "SN0123456789");
    text("HWPartNumber", "AB123-60001");
    CIMCValue v{};
    v.uint16 = 6;
    inst->ft->setProperty(inst, "PerceivedSeverity", &v, CIMC_uint16);
    v.uint16 = 2;
    inst->ft->setProperty(inst, "AlertType", &v, CIMC_uint16);
    v.dateTime = env->ft->newDateTimeFromChars(env, "20140315123456.000000+060", nullptr);
    inst->ft->setProperty(inst, "IndicationTime", &v, CIMC_dateTime);
    v.dateTime->ft->release(v.dateTime);
    v.array = env->ft->newArray(env, 2, CIMC_string, nullptr);
    for (CIMCCount i = 0; i < 2; ++i) {
        CIMCValue e{};
        e.string = env->ft->newString(env, i == 0 ? "10.0.0.5" : "fe80::5", nullptr);
        v.array->ft->setElementAt(v.array, i, &e, CIMC_string);
        e.string->ft->release(e.string);
    }
    inst->ft->setProperty(inst, "NetworkAddresses", &v, CIMC_ARRAY | CIMC_string);
    v.array->ft->release(v.array);
    return inst;
}

// One row per iteration, into a database of the daemon's default settings, with
// the document text read from a copy of a real delivery.
void BM_StoreIndication(benchmark::State& state) {
    std::string source(__FILE__);
    std::string delivery =
        source.substr(0, source.rfind("/bench/")) + "/tests/data/store/delivery.txt";
    std::string raw = scratch().path + "/fifo.tmp";
    std::filesystem::copy_file(delivery, raw, std::filesystem::copy_options::overwrite_existing);

    int rc = 0;
    char* msg = nullptr;
    CIMCEnv* env = NewCIMCEnv("SfcbLocal", 0, &rc, &msg);
    free(msg);
    CIMCInstance* inst = typicalInstance(env);
    SQLiteDB store(scratch().path + "/store.db", raw);
    for (auto _ : state) {
        if (store.storeIndication(inst) != 0) {
            state.SkipWithError("insert failed");
            break;
        }
    }
    inst->ft->release(inst);
    ReleaseCIMCEnv(env);
}
BENCHMARK(BM_StoreIndication)->Unit(benchmark::kMicrosecond);

} // namespace
