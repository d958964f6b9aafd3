// storage.h - library-private helpers: files of the state folder, dictionary release.
#ifndef TALLOW_STORAGE_H
#define TALLOW_STORAGE_H

#include "tallow_sim.h"

#include <cstdint>
#include <string>
#include <sys/types.h>

struct BMC;

namespace tallowsim {

// The start of each backend's BMC_open: checks the handle and the unit and clears the
// handle, its descriptor -1. 0, or the BMC_E_ code that BMC_open answers.
int beginOpen(BMC* bmc, int unit);

// A number written in decimal or, after "0x", in hexadecimal; no sign, no overflow.
bool parseNumber(const std::string& text, uint64_t* value);

std::string joinPath(const std::string& dir, const char* name);

// Whole file into *content; false with *error (errno kept) when it cannot be read.
bool readWholeFile(const std::string& path, std::string* content, std::string* error);

// Replaces the file by writing a temporary beside it, syncing it and renaming it over.
bool writeFileAtomic(const std::string& path, const std::string& content, std::string* error);

// Flushes the folder's entries (a created or renamed file) to disk.
void syncDir(const std::string& dir);

// Opens a log file of the state folder for appending (O_APPEND; also readable, to find a
// torn tail), creating it if needed.
// -1 with errno set on failure.
int openAppend(const std::string& dir, const char* name);

// Appends one record under an exclusive flock, as one whole: a torn tail left by a
// crash before is cut first (to a multiple of recordSize, or when recordSize is 0 to
// the last line end), a failed write is cut back, and the data is synced before
// returning 0. Otherwise returns errno. *at, when given, gets the offset the record
// was written at.
int appendRecord(int fd, const void* data, size_t size, size_t recordSize, off_t* at = nullptr);

// Empties a log file of the state folder under the same lock. A missing file is fine.
bool truncateLocked(const std::string& dir, const char* name, std::string* error);

// Releases what BMC_event_dictionary_get loaded into a handle.
void freeDictionaries(BMC_t* bmc);

// The text of a library error code; nullptr for a code the library does not have.
const char* errorText(int code);

// ZU_CLI_NULL_BUFFER or ZU_CLI_BUFFER_TOO_SMALL when a command's output buffers cannot
// take an answer, else 0.
int checkCliBuffers(const str_buf* out, const str_buf* err);

// "name: strerror(errno)"
std::string errnoText(const std::string& what);

} // namespace tallowsim

#endif
