// tallow_sim.h - the simulated BMC behind our build of the BMC access library.
//
// The library keeps the management processor's state in one folder, so that a
// person (with the orvind-bmc tool) and a test can set it up and look into it.
// See platform/tallow/README.md for the folder's layout and file formats.
#ifndef TALLOW_SIM_H
#define TALLOW_SIM_H

#include "tallow.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tallowsim {

// Environment variables.
extern const char* const kDirVariable;        // "ORVIND_BMC_DIR": the state folder
extern const char* const kDictionaryVariable; // "ORVIND_BMC_DICTIONARY": a dictionary file
extern const char* const kDmiUuidVariable;    // "ORVIND_BMC_DMI_UUID": the DMI product UUID file

// Files inside the state folder.
extern const char* const kFplFile;        // "fpl"
extern const char* const kCommandsFile;   // "commands"
extern const char* const kFaultsFile;     // "faults"
extern const char* const kUuidFile;       // "uuid"
extern const char* const kDictionaryFile; // "event-dictionary.txt"

// $ORVIND_BMC_DIR when set and not empty, else "/var/lib/orvind-bmc".
std::string stateDir();

// Creates the folder and its missing parents. False with *error set on failure.
bool makeStateDir(const std::string& dir, std::string* error);

// The system UUID: the DMI product UUID when readable and not empty, else the one kept
// in the state folder, made on first use. Empty when neither can be had.
std::string systemUuid(const std::string& dir);

// ---------------------------------------------------------------------------
// Faults: what the next calls answer instead of doing their work. 0 means none.

struct Faults {
    int open = 0;      // BMC_open returns this code
    int append = 0;    // BMC_FPL_append_entry returns this code
    int cli = 0;       // ZU_CLI_Exec returns this interface code
    int cliStatus = 0; // ZU_CLI_Exec answers with this status byte
    int forget = 0;    // BMC_FPL_append_entry answers 0 with this record id, keeps nothing
};

// Names used in the faults file and by the tool: "open", "append", "cli", "cli-status",
// "forget".
// readFaults reports malformed lines of the file on stderr and ignores them.
Faults readFaults(const std::string& dir);
bool writeFaults(const std::string& dir, const Faults& faults, std::string* error);
// Sets one fault by name; false with *error for an unknown name or a value out of range
// ("open" and "append" 1 to 2147483647, "cli" and "cli-status" 1 to 255, "forget" 1 to
// 65535; 0 clears).
bool setFault(Faults& faults, const std::string& name, long long value, std::string* error);

// ---------------------------------------------------------------------------
// Event dictionary: one text file, one entry per line (format in the README).

struct DictionaryEntry {
    int line = 0;                 // line number in the file, from 1
    std::string provider;         // provider name, no blanks
    unsigned int eventNumber = 0; // the provider's (WBEM) event number
    uint64_t ipmiEventId = 0;     // IPMI event id
    bool oemRecord = false;       // false when the line gives "-" for alert level and entity
    int alertLevel = 0;           // alert level (oemRecord only)
    int repEntIdClass = 0;        // reporting-entity class (oemRecord only)
    std::string summary;          // the rest of the line, may be empty
};

struct DictionaryProblem {
    int line = 0;
    std::string message;
};

struct Dictionary {
    std::string path;
    std::vector<DictionaryEntry> entries;    // the well-formed lines, in file order
    std::vector<DictionaryProblem> problems; // the skipped or doubtful lines
};

// Parses dictionary text. Malformed lines go to problems and are skipped.
Dictionary parseDictionary(const std::string& text);
// Reads and parses a file; false with *error when it cannot be read.
bool loadDictionary(const std::string& path, Dictionary& out, std::string* error);

// The sample dictionary installed with the project: "<datadir>/event-dictionary.txt".
std::string sampleDictionaryPath();
// The dictionary the library uses: $ORVIND_BMC_DICTIONARY when set and not empty, else the
// state folder's "event-dictionary.txt" when it exists, else the sample.
std::string dictionaryPath(const std::string& dir);
// Copies a dictionary file into the state folder (atomically, synced to disk).
bool installDictionary(const std::string& dir, const std::string& from, std::string* error);

// ---------------------------------------------------------------------------
// FPL and commands as stored.

struct Fpl {
    std::vector<SEL_entry_t> records; // whole records, oldest first
    size_t trailingBytes = 0;         // bytes of a torn last record (never acknowledged)
};

// A missing FPL file is an empty FPL.
bool readFpl(const std::string& dir, Fpl& out, std::string* error);

struct Command {
    long long time = 0; // seconds since the epoch when it was received
    int status = 0;     // the status byte it was answered with
    std::string name;
    std::string arg;
};

// One line of the commands file: time, status, name and parameter text separated by tabs,
// backslash, tab, carriage return and line feed escaped as \\ \t \r \n; ends with '\n'.
std::string encodeCommand(const Command& command);
bool decodeCommand(const std::string& line, Command* command);

// A missing commands file is an empty list. Malformed lines are skipped.
bool readCommands(const std::string& dir, std::vector<Command>& out, std::string* error);
// The items of a parameter text: it is cut before every " --" that starts an item name.
std::vector<std::string> commandItems(const std::string& arg);

// Empty the FPL or the command list (under the same lock as appends).
bool clearFpl(const std::string& dir, std::string* error);
bool clearCommands(const std::string& dir, std::string* error);

} // namespace tallowsim

#endif
