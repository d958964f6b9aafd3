// libFuzzer target: one input is one delivered document. It goes the intake's way:
// into a temp file, through libxml2's reader and the Parser, whose instances the
// store renders as text (valueText) and inserts, every value bound, into a real
// in-memory database, one row at a time.
//
// The store never fails here: the database lives in memory (never busy) and an int
// column takes anything that is not a decimal integer as NULL.
#include "XMLTextReader.h"
#include "logger.h"
#include "parser.h"
#include "sfcbclient.h"
#include "sqlitedb.h"

#include <libxml/parser.h>
#include <libxml/xmlreader.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>

Logger logger("/dev/null");

namespace {

// Inputs between two fresh databases, so that the rows of a long run do not pile up.
const int kInputsPerStore = 2000;

void quiet(void*, const char*, ...) {}

class Workspace {
public:
    Workspace() {
        char pattern[] = "/tmp/orvind-fuzz-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            perror("mkdtemp");
            abort();
        }
        folder = pattern;
        // The broker repository of the CIMC layer, read only if the client connected.
        std::filesystem::create_directory(folder + "/broker");
        setenv("ORVIND_BROKER_DIR", (folder + "/broker").c_str(), 1);
        document = folder + "/fifo.tmp";
        // libxml2 would print every parse error of every input.
        xmlSetGenericErrorFunc(nullptr, quiet);
    }

    ~Workspace() {
        store.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    SQLiteDB* freshStore() {
        if (!store || ++inputs == kInputsPerStore) {
            store.reset();
            store = std::make_unique<SQLiteDB>(":memory:", document);
            inputs = 0;
        }
        return store.get();
    }

    std::string folder;
    std::string document;
    SfcbClient client;

private:
    std::unique_ptr<SQLiteDB> store;
    int inputs = 0;
};

Workspace& workspace() {
    static Workspace instance;
    return instance;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Workspace& work = workspace();
    SQLiteDB* store = work.freshStore();

    FILE* file = fopen(work.document.c_str(), "wb");
    if (file == nullptr) {
        abort();
    }
    fwrite(data, 1, size, file);
    fclose(file);

    xmlTextReader* raw = xmlReaderForFile(work.document.c_str(), "utf-8", 0);
    XMLTextReader reader(raw);
    Parser parser(store, reader, &work.client);
    parser.parseIndicationResp();
    xmlFreeTextReader(raw);
    return 0;
}
