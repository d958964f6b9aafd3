#ifndef ORVIND_TESTS_TRANSCRIPT_H
#define ORVIND_TESTS_TRANSCRIPT_H

#include <map>
#include <string>

// Checks a transcript of shell commands and what each must print. A line "$ COMMAND" runs
// COMMAND in a bash subshell of its own, in order (standard error joined to its output,
// the tools' folder first on PATH); the lines after it, up to the next "$ ", are its expected
// output as a shell pattern without escapes ("*" matching anything, "?" any character); a line "?
// N" gives its exit status, 0 when none. "@NAME@" in commands and outputs stands for the value of
// NAME in names. Lines before the first command and lines starting with "##" are
// comments. Every difference fails the test, naming the command; with
// ORVIND_UPDATE_GOLDEN=1 the file is rewritten with what was printed where it differs.
void checkTranscript(const std::string& path, const std::map<std::string, std::string>& names);

#endif
