// The registration helper's request and answer, as text lines.
//
// Request (the helper's standard input):
//   connect ID                      the connector NewCIMCEnv is asked for ("SfcbLocal")
//   path N NAMESPACE CLASS          object path number N (1, 2, ...)
//   key N NAME chars TEXT           a text key of path N
//   key N NAME ref M                a key of path N referring to path M (M < N)
//   create N                        createInstance of an instance named by path N ...
//   property NAME chars TEXT        ... with these properties
//   property NAME ref M
// With no "create" line the helper only connects.
//
// Answer (its standard output): "rc CODE", then "msg TEXT" when the broker gave a message.
// TEXT is escaped: a backslash as "\\", a line end as "\n".
#ifndef ORVIND_CIMC_REMOTE_REQUEST_H
#define ORVIND_CIMC_REMOTE_REQUEST_H

#include <string>

namespace cimc {
namespace remote {

inline std::string escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

inline std::string unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            ++i;
            out += text[i] == 'n' ? '\n' : text[i];
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace remote
} // namespace cimc

#endif
