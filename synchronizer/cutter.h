#ifndef ORVIND_CUTTER_H
#define ORVIND_CUTTER_H

#include <cstddef>
#include <string>

// The broker's trailer line, "=========== End of Indication ===========": a line that
// says "End of Indication" and holds no markup. A line of markup that carries the words
// (a property value) is not one. The one rule for the cutter and for the stored
// document's text.
bool is_trailer_line(const char* begin, const char* end);

// The length of a document without its trailer line, if it ends with one.
size_t without_trailer(const std::string& document);

// Cuts a stream of delivered bytes into indication documents. A document ends after
// a trailer line (one that says "End of Indication" and holds no markup) and before
// an XML declaration, wherever in a line it stands, when the document already holds
// something other than blank space. Bytes before a declaration that do not begin with
// one themselves (stray bytes from another writer) are passed over. Bytes go in with
// add(); complete documents come out with next(); finish() ends a delivery and hands
// over what is left.
class DocumentCutter {
public:
    void add(const char* data, size_t size);
    // Cuts the next complete document off the front; false when there is none yet.
    bool next(std::string& document);
    // End of a delivery: the rest is one more document, unless documents have
    // already been cut from this delivery and the rest is only blank space.
    // An empty delivery gives one empty document.
    bool finish(std::string& document);
    // Everything received and not yet cut off.
    const std::string& unhandled() const { return buffer; }
    // Bytes cut off the front so far: documents and what was passed over.
    unsigned long long consumed() const { return taken; }
    // The bytes passed over since the last call.
    std::string takeStray();

private:
    std::string buffer;
    // buffer[0, scanned) are whole lines already looked at; none ends a document.
    size_t scanned = 0;
    // Those lines hold something other than blank space.
    bool content = false;
    // A document has been cut since the last finish().
    bool cut = false;
    unsigned long long taken = 0;
    std::string stray;
};

#endif
