#ifndef ORVIND_CUTTER_H
#define ORVIND_CUTTER_H

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

// The broker's trailer line, "=========== End of Indication ===========": a line that
// says "End of Indication" and holds no markup. A line of markup that carries the words
// (a property value) is not one. The one rule for the cutter and for the stored
// document's text.
bool is_trailer_line(const char* begin, const char* end);

// The length of a document without its trailer line, if it ends with one.
size_t without_trailer(const std::string& document);

// The document, without its trailer line and blank space, ends with the end tag of its
// root element: nothing of it is missing at its end.
bool is_whole(const std::string& document);

// Cuts a stream of delivered bytes into indication documents.
//
// The pipe is a stream of pieces: a writer's stdio stream writes a document larger than
// its buffer (the pipe's block size) as a first write of whole blocks and a last one with
// the rest, the line end and the trailer, and only a write of at most PIPE_BUF is atomic.
// So a piece of another writer's document can only come in where a document stands at a
// whole number of blocks from its declaration, or after a trailer.
//
// A document ends after a trailer line (one that says "End of Indication" and holds no
// markup). An XML declaration, wherever it stands, begins a document. One that stands
// a whole number of blocks after the declaration of a document without a trailer yet
// begins a document that interrupts it: the stretch up to the trailer that closes the
// last of them is put back together, each document from its pieces: a way of doing so
// must give well-formed requests as the broker writes them (at most one INSTANCE, each
// of its properties once). A document is handed over when every such way gives it the
// same text; one whose first write could as well end with another rest, in a round of
// documents each taking the next one's, is passed over whole and counted, never
// guessed, and so is the whole stretch when no way is found. Any other
// declaration ends the document before it (one without a trailer). Bytes before a
// declaration that do not begin with one themselves (stray bytes from another writer)
// are passed over.
//
// Bytes go in with add(); complete documents come out with next(); finish() ends a
// delivery (every writer has gone, so every document in it is complete) and hands over
// the first of what is left, next() the others.
class DocumentCutter {
public:
    explicit DocumentCutter(size_t blockSize = 4096);

    // The pipe's block size (its st_blksize), which the writers' stdio buffers take.
    void setBlockSize(size_t size) { block = size > 0 ? size : block; }
    size_t blockSize() const { return block; }

    void add(const char* data, size_t size);
    // Hands over the next complete document; false when there is none yet.
    bool next(std::string& document);
    // End of a delivery: the rest is cut, the last document being what is left unless
    // documents have already been cut from this delivery and it is only blank space. An
    // empty delivery gives one empty document. Hands over the first; false when none.
    bool finish(std::string& document);
    // Nothing is held: no bytes and no document still to hand over.
    bool idle() const { return buffer.empty() && ready.empty(); }
    // The bytes before which everything is handed over or passed over: the end of the
    // last document handed over, unless others cut with it are still to come.
    unsigned long long consumed() const;
    // No document put back together with the last one handed over is still to come:
    // consumed() is a boundary between documents.
    bool atBoundary() const { return handedFinal; }
    // The bytes passed over since the last call.
    std::string takeStray();
    // The documents passed over since the last call because their pieces could not
    // be told apart.
    size_t takeUntold();

private:
    struct Ready {
        std::string text;
        unsigned long long end;
        bool final; // no document cut together with this one comes after it
    };
    void scan(bool atEnd);
    bool cutFront(bool atEnd);
    void emit(size_t length);
    void erase(size_t length);
    void resolve(size_t length);
    size_t stretchEnd(size_t second, size_t& later) const;

    size_t block;
    std::string buffer;
    // Declarations, and trailer lines (where each begins and ends), found in
    // buffer[0, lineFrom), in order; no line end lies in buffer[lineFrom, newlineFrom).
    std::vector<size_t> declarations;
    std::vector<std::pair<size_t, size_t>> trailers;
    // Where each trailer's words and equal signs end (or its line, when it is whole in
    // the stream), and whether its line is whole.
    std::vector<std::pair<size_t, bool>> marks;
    size_t lineFrom = 0;
    size_t newlineFrom = 0;
    // A document has been cut since the last finish().
    bool cut = false;
    unsigned long long taken = 0;
    std::deque<Ready> ready;
    unsigned long long handedEnd = 0;
    bool handedFinal = true;
    std::string stray;
    size_t untold = 0;
};

#endif
