// Cost of parsing one delivered document as its number of properties grows: the
// daemon's parser on libxml2's reader, building the instance from the CIMC objects
// and storing it in a database on tmpfs (so that the disk's sync does not hide the
// parser). The time per document should grow linearly with the properties.
#include "XMLTextReader.h"
#include "logger.h"
#include "parser.h"
#include "scratch.h"
#include "sfcbclient.h"
#include "sqlitedb.h"

#include <benchmark/benchmark.h>

#include <libxml/xmlreader.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

Logger logger("/dev/null");

namespace {

// A folder for the broker's repository, the document and the database, on tmpfs where
// there is one.
Scratch& scratch() {
    static Scratch folder(std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp",
                          "bench-parser");
    return folder;
}

// One indication whose instance carries `count` string properties of distinct names,
// the columns the store reads among them.
std::string document(int64_t count) {
    std::string text = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n"
                       "<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\"><MESSAGE ID=\"1\" "
                       "PROTOCOLVERSION=\"1.0\"><SIMPLEEXPREQ><EXPMETHODCALL "
                       "NAME=\"ExportIndication\"><EXPPARAMVALUE NAME=\"NewIndication\">\n"
                       "<INSTANCE CLASSNAME=\"VEXA_AlertIndication\">\n"
                       "<PROPERTY NAME=\"ProviderName\" TYPE=\"string\"><VALUE>Bench</VALUE>"
                       "</PROPERTY>\n";
    for (int64_t i = 1; i < count; ++i) {
        text += "<PROPERTY NAME=\"Extra" + std::to_string(i) +
                "\" TYPE=\"string\"><VALUE>value</VALUE></PROPERTY>\n";
    }
    text += "</INSTANCE>\n</EXPPARAMVALUE></EXPMETHODCALL></SIMPLEEXPREQ></MESSAGE></CIM>\n";
    return text;
}

void BM_ParseDocument(benchmark::State& state) {
    const std::string folder = scratch().path;
    // The CIMC client below works over this repository.
    setenv("ORVIND_BROKER_DIR", folder.c_str(), 1);
    const std::string file = folder + "/fifo.tmp";
    std::ofstream(file, std::ios::trunc) << document(state.range(0));
    SQLiteDB store(folder + "/indications.db", file);
    SfcbClient client;
    for (auto _ : state) {
        XmlReaderPtr raw(xmlReaderForFile(file.c_str(), "utf-8", 0));
        XMLTextReader reader(raw.get());
        Parser parser(&store, reader, &client);
        parser.parseIndicationResp();
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ParseDocument)
    ->Arg(2000)
    ->Arg(4000)
    ->Arg(8000)
    ->Arg(16000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

} // namespace
