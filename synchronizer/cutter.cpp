#include "cutter.h"

#include <algorithm>
#include <cstring>

namespace {

bool is_blank(const char* begin, const char* end) {
    for (const char* p = begin; p != end; ++p) {
        if (*p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') {
            return false;
        }
    }
    return true;
}

bool has_content(const std::string& text) {
    return !is_blank(text.data(), text.data() + text.size());
}

const char kDeclaration[] = "<?xml";
const size_t kDeclarationLength = sizeof kDeclaration - 1;

// The text starts, after blank space, with an XML declaration.
bool begins_document(const char* begin, const char* end) {
    const char* p = begin;
    while (p != end && is_blank(p, p + 1)) {
        ++p;
    }
    return static_cast<size_t>(end - p) >= kDeclarationLength &&
           memcmp(p, kDeclaration, kDeclarationLength) == 0;
}

} // namespace

bool is_trailer_line(const char* begin, const char* end) {
    static const char kWords[] = "End of Indication";
    const char* found = std::search(begin, end, kWords, kWords + sizeof kWords - 1);
    return found != end && std::find(begin, end, '<') == end;
}

// libxml2 reads ahead, and text after the root element makes it report an error before
// it has handed over the last nodes it read: the trailer would cost the properties at the
// end of every document, so the parser is given the document without it.
size_t without_trailer(const std::string& document) {
    size_t end = document.size();
    if (end > 0 && document[end - 1] == '\n') {
        --end;
    }
    size_t start = document.rfind('\n', end == 0 ? 0 : end - 1);
    start = start == std::string::npos ? 0 : start + 1;
    if (start < end && is_trailer_line(document.data() + start, document.data() + end)) {
        return start;
    }
    return document.size();
}

void DocumentCutter::add(const char* data, size_t size) {
    buffer.append(data, size);
}

std::string DocumentCutter::takeStray() {
    std::string bytes;
    bytes.swap(stray);
    return bytes;
}

bool DocumentCutter::next(std::string& document) {
    for (;;) {
        size_t newline = buffer.find('\n', scanned);
        if (newline == std::string::npos) {
            return false;
        }
        const char* line = buffer.data() + scanned;
        const char* end = buffer.data() + newline;
        const char* declaration = std::search(line, end, kDeclaration, kDeclaration + 5);
        if (declaration != end) {
            size_t at = static_cast<size_t>(declaration - buffer.data());
            bool strayBefore = !is_blank(line, declaration);
            if (content) {
                // A new document begins here: what came before is a document when it
                // begins like one, else bytes of another writer.
                bool whole = begins_document(buffer.data(), line);
                if (whole) {
                    document.assign(buffer, 0, scanned);
                }
                size_t from = whole ? scanned : 0;
                stray.append(buffer, from, (strayBefore ? at : scanned) - from);
                buffer.erase(0, at);
                taken += at;
                scanned = 0;
                content = false;
                if (whole) {
                    cut = true;
                    return true;
                }
                continue;
            }
            if (strayBefore) {
                stray.append(buffer, scanned, at - scanned);
                buffer.erase(scanned, at - scanned);
                taken += at - scanned;
                continue;
            }
            content = true;
            scanned = newline + 1;
            continue;
        }
        if (is_trailer_line(line, end)) {
            size_t length = newline + 1; // the trailer belongs to the document before it
            document.assign(buffer, 0, length);
            buffer.erase(0, length);
            taken += length;
            scanned = 0;
            content = false;
            cut = true;
            return true;
        }
        content = content || !is_blank(line, end);
        scanned = newline + 1;
    }
}

bool DocumentCutter::finish(std::string& document) {
    bool any = !cut || has_content(buffer);
    taken += buffer.size();
    if (any) {
        document.swap(buffer);
    }
    buffer.clear();
    scanned = 0;
    content = false;
    cut = false;
    return any;
}
