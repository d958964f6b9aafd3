#include "cutter.h"

#include <algorithm>
#include <cstring>
#include <libxml/parser.h>
#include <memory>
#include <string_view>
#include <unordered_set>
#include <utility>

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
const size_t kNone = std::string::npos;
const char kWords[] = "End of Indication";
const size_t kWordsLength = sizeof kWords - 1;
const char kTrailerEnd[] = " ===========";
const size_t kTrailerEndLength = sizeof kTrailerEnd - 1;

// A stretch of interrupted documents is waited for up to this long, or this many
// trailers after its first interruption; then its first document is taken to have
// ended without a trailer where the next declaration stands.
const size_t kLongestStretch = 4 << 20;
const size_t kMostTrailers = 512;
// The ways of putting a stretch back together that are tried before it counts as one
// that cannot be told apart.
const int kMostSteps = 5000;

struct XmlDocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};

// libxml2 reads the document, without its trailer line, to its end without an error.
bool well_formed(const std::string& text) {
    const size_t length = without_trailer(text);
    std::unique_ptr<xmlDoc, XmlDocFree> doc(
        xmlReadMemory(text.data(), static_cast<int>(length), nullptr, "utf-8",
                      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    return doc != nullptr;
}

// The ways of cutting a stretch of interleaved pieces into documents. Every document
// begins at a declaration; its pieces follow each other in the stream, each but the last
// ending a whole number of blocks after its declaration, and the last one with its
// trailer line. A piece that ends on a block boundary is followed by the next piece of
// any document still open, or by a declaration. Every way that gives well-formed
// documents is followed; a document is certain when every way gives it the same text.
class Stretch {
public:
    Stretch(const std::string& text, size_t size, size_t blockSize,
            const std::vector<size_t>& declarationsIn)
        : bytes(text), length(size), block(blockSize), declarations(declarationsIn) {}

    // The i-th document (by its declaration): its text when it is certain, else empty;
    // and the bytes of the stretch that belong to no certain document. The first way
    // found that gives well-formed documents is taken; a document of it is certain
    // unless exchanging what followed its first piece with another document's gives two
    // other well-formed documents as well. False when no way was found.
    bool solve(std::vector<std::string>& documents, std::string& rest) {
        step(0, -1);
        if (solution.empty()) {
            return false;
        }
        for (const Open& doc : solution) {
            documents.push_back(text(doc));
        }
        std::vector<bool> uncertain(solution.size(), false);
        for (size_t i = 0; i < solution.size(); ++i) {
            for (size_t j = i + 1; j < solution.size(); ++j) {
                if (exchangeable(solution[i], solution[j])) {
                    uncertain[i] = uncertain[j] = true;
                }
            }
        }
        markRounds(uncertain);
        std::vector<bool> covered(length, false);
        for (size_t i = 0; i < solution.size(); ++i) {
            if (uncertain[i]) {
                documents[i].clear();
                continue;
            }
            for (const Piece& piece : solution[i].pieces) {
                std::fill(covered.begin() + static_cast<std::ptrdiff_t>(piece.from),
                          covered.begin() + static_cast<std::ptrdiff_t>(piece.to), true);
            }
        }
        for (size_t at = 0; at < length; ++at) {
            if (!covered[at]) {
                rest += bytes[at];
            }
        }
        return true;
    }

private:
    struct Piece {
        size_t from, to;
        size_t hash;
    };
    struct Open {
        std::vector<Piece> pieces;
        size_t size = 0;
        bool closed = false;
        // Where pieces of the document ended before others came in, from its declaration.
        std::vector<size_t> breaks;
        // Its text after its last line end.
        std::string line;
        // The pieces before its first break.
        size_t head = 0;
    };

    // Document `a` with what followed the first piece of `b`.
    static Open joined(const Open& a, const Open& b) {
        Open doc;
        doc.pieces.assign(a.pieces.begin(), a.pieces.begin() + static_cast<std::ptrdiff_t>(a.head));
        doc.pieces.insert(doc.pieces.end(), b.pieces.begin() + static_cast<std::ptrdiff_t>(b.head),
                          b.pieces.end());
        doc.size = a.breaks.front() + (b.size - b.breaks.front());
        for (size_t at : b.breaks) {
            doc.breaks.push_back(a.breaks.front() + (at - b.breaks.front()));
        }
        doc.closed = true;
        return doc;
    }

    // `doc` is a well-formed document other than `original`.
    bool another(const Open& doc, const Open& original) const {
        const std::string whole = text(doc);
        return whole != text(original) && breaksFit(doc, trailerLength(doc)) && well_formed(whole);
    }

    // One of two documents broken after their first pieces could as well have the
    // other's rest: their pieces cannot be told apart.
    bool exchangeable(const Open& a, const Open& b) const {
        if (a.breaks.empty() || b.breaks.empty() || a.head >= a.pieces.size() ||
            b.head >= b.pieces.size()) {
            return false;
        }
        // Only documents whose first pieces both came before the rest of either.
        if (a.pieces[a.head - 1].to > b.pieces[b.head].from ||
            b.pieces[b.head - 1].to > a.pieces[a.head].from) {
            return false;
        }
        return another(joined(a, b), a) || another(joined(b, a), b);
    }

    // Document `a` could as well end with what follows the first piece of `b`: a's
    // first pieces come before that rest, and with it they make a well-formed document
    // whose breaks fit. The answer is kept for each first piece and each kind of rest.
    bool takes(size_t a, size_t b) {
        const Open& first = solution[a];
        const Open& second = solution[b];
        if (first.pieces[first.head - 1].to > second.pieces[second.head].from) {
            return false;
        }
        signed char& answer = known[a][kind[b]];
        if (answer < 0) {
            // Past the budget every join counts as well-formed: more is passed over.
            if (++joins > kMostSteps) {
                answer = 1;
                return true;
            }
            const Open doc = joined(first, second);
            answer = breaksFit(doc, trailerLength(doc)) && well_formed(text(doc)) ? 1 : 0;
        }
        return answer == 1;
    }

    // What follows the first piece of a document, and where its pieces break after it.
    std::string restOf(const Open& doc) const {
        std::string rest;
        for (size_t i = doc.head; i < doc.pieces.size(); ++i) {
            rest.append(bytes, doc.pieces[i].from, doc.pieces[i].to - doc.pieces[i].from);
        }
        rest += '\0';
        for (size_t at : doc.breaks) {
            rest += std::to_string(at - doc.breaks.front()) + ' ';
        }
        return rest;
    }

    // Finds the documents broken after their first pieces and sorts their rests into
    // kinds alike byte for byte; returns the number of kinds.
    size_t sortRests() {
        kind.assign(solution.size(), 0);
        std::vector<std::string> kinds;
        for (size_t i = 0; i < solution.size(); ++i) {
            const Open& doc = solution[i];
            if (doc.breaks.empty() || doc.head == 0 || doc.head >= doc.pieces.size()) {
                continue;
            }
            broken.push_back(i);
            const std::string rest = restOf(doc);
            auto found = std::find(kinds.begin(), kinds.end(), rest);
            kind[i] = static_cast<size_t>(found - kinds.begin());
            if (found == kinds.end()) {
                kinds.push_back(rest);
            }
        }
        return kinds.size();
    }

    // A chain of documents, each taking a rest alike its own, leads from `from` to `to`.
    bool reaches(size_t from, size_t to) {
        std::vector<bool>& reached = alike[from];
        if (reached.empty()) {
            reached.assign(solution.size(), false);
            reached[from] = true;
            std::vector<size_t> todo = {from};
            while (!todo.empty()) {
                const size_t x = todo.back();
                todo.pop_back();
                for (size_t y : broken) {
                    if (!reached[y] && kind[y] == kind[x] && takes(x, y)) {
                        reached[y] = true;
                        todo.push_back(y);
                    }
                }
            }
        }
        return reached[to];
    }

    // Exchanges of rests through a chain of documents: d is not certain when it could
    // take e's rest, e could take y's, and from y documents each taking a rest alike its
    // own lead back to d's. Those between keep their text byte for byte, so that no
    // exchange of two shows the difference: d and e are passed over, never guessed.
    void markRounds(std::vector<bool>& uncertain) {
        const size_t kinds = sortRests();
        if (kinds < 2) {
            return; // every rest alike: an exchange changes no document
        }
        known.assign(solution.size(), std::vector<signed char>(kinds, -1));
        alike.assign(solution.size(), std::vector<bool>());
        for (size_t d : broken) {
            for (size_t e : broken) {
                if (uncertain[d]) {
                    break;
                }
                if (e == d || kind[e] == kind[d] || !takes(d, e)) {
                    continue;
                }
                for (size_t y : broken) {
                    if (y != e && kind[y] == kind[d] && takes(e, y) && reaches(y, d)) {
                        uncertain[d] = uncertain[e] = true;
                        break;
                    }
                }
            }
        }
    }

    bool declarationAt(size_t at) const {
        return std::binary_search(declarations.begin(), declarations.end(), at);
    }

    size_t declarationAfter(size_t at) const {
        auto it = std::upper_bound(declarations.begin(), declarations.end(), at);
        return it == declarations.end() ? kNone : *it;
    }

    // The end of the first trailer line in bytes[from, to), whose text before `from`
    // (on the same line) is `line`; kNone when there is none.
    size_t trailerIn(const std::string& line, size_t from, size_t to) const {
        size_t start = from;
        for (size_t at = from; at < to; ++at) {
            at = static_cast<size_t>(std::find(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                               bytes.begin() + static_cast<std::ptrdiff_t>(to),
                                               '\n') -
                                     bytes.begin());
            if (at == to) {
                break;
            }
            const std::string whole =
                (start == from ? line : std::string()) + bytes.substr(start, at - start);
            if (is_trailer_line(whole.data(), whole.data() + whole.size())) {
                return at + 1;
            }
            start = at + 1;
        }
        return kNone;
    }

    // The document's text after its last line end, once bytes[from, to) are added.
    std::string lineAfter(const std::string& line, size_t from, size_t to) const {
        const size_t last = bytes.rfind('\n', to - 1);
        if (to > from && last != std::string::npos && last >= from) {
            return bytes.substr(last + 1, to - last - 1);
        }
        return line + bytes.substr(from, to - from);
    }

    // A writer's stdio stream writes a document of `n` bytes as its whole blocks first,
    // n - n % block bytes, then a block at a time: its pieces can only have ended there.
    bool breaksFit(const Open& doc, size_t trailerLine) const {
        const size_t n = doc.size - trailerLine - 1; // without the line end and the trailer
        const size_t whole = n - n % block;
        return std::all_of(doc.breaks.begin(), doc.breaks.end(),
                           [&](size_t at) { return at >= whole && (at - whole) % block == 0; });
    }

    std::string text(const Open& doc) const {
        std::string whole;
        for (const Piece& piece : doc.pieces) {
            whole.append(bytes, piece.from, piece.to - piece.from);
        }
        return whole;
    }

    // Every state is followed once: the position, the document in hand, and each
    // document's pieces and whether it is closed.
    bool seenBefore(size_t at, int current) {
        size_t key = std::hash<size_t>()(at) * 31 + static_cast<size_t>(current + 1);
        for (const Open& doc : docs) {
            key = key * 1000003 + (doc.closed ? 1 : 2);
            for (const Piece& piece : doc.pieces) {
                key = key * 131 + piece.hash;
            }
            for (size_t where : doc.breaks) {
                key = key * 257 + where;
            }
        }
        return !seen.insert(key).second;
    }

    void record() { solution = docs; }

    // Opens the document whose declaration stands at `at`, with the blank space before
    // it when `lead` is not `at`.
    void open(size_t lead, size_t at) {
        docs.push_back(Open());
        step(at, static_cast<int>(docs.size() - 1), lead);
        docs.pop_back();
    }

    void step(size_t at, int current, size_t from = kNone) {
        if (!solution.empty() || ++steps > kMostSteps) {
            return;
        }
        if (seenBefore(at, current)) {
            return;
        }
        if (current < 0) {
            between(at);
        } else {
            within(at, static_cast<size_t>(current), from == kNone ? at : from);
        }
    }

    // After a trailer: a declaration, or the next piece of a document still open.
    void between(size_t at) {
        if (at == length) {
            if (std::all_of(docs.begin(), docs.end(), [](const Open& d) { return d.closed; })) {
                record();
            }
            return;
        }
        if (declarationAt(at)) {
            open(at, at);
            return;
        }
        size_t next = at;
        while (next < length && is_blank(bytes.data() + next, bytes.data() + next + 1)) {
            ++next;
        }
        if (next < length && declarationAt(next)) {
            open(docs.empty() ? at : next, next); // blank space between documents
        }
        for (size_t i = 0; i < docs.size(); ++i) {
            if (!docs[i].closed && docs[i].size > 0 && docs[i].size % block == 0) {
                step(at, static_cast<int>(i));
            }
        }
    }

    // A piece of document `current` from `at` (its bytes from `begin`, blank space
    // before its declaration included) to its trailer or its next block boundary.
    void within(size_t at, size_t current, size_t begin) {
        Open& doc = docs[current];
        const size_t declaration = declarationAfter(at);
        const size_t boundary = at + (block - doc.size % block);
        size_t stop = std::min({declaration, boundary, length});
        const size_t trailer = trailerIn(doc.line, begin, stop);
        stop = std::min(stop, trailer);
        if (stop != trailer && ((stop == declaration && stop != boundary) || stop == length)) {
            return; // a declaration inside a piece, or a piece that never ends
        }
        // After its first break a document has less than a block and its trailer left.
        if (!doc.breaks.empty() && doc.size + (stop - at) > doc.breaks.front() + 2 * block) {
            return;
        }
        const std::string_view piece(bytes.data() + begin, stop - begin);
        std::string line = lineAfter(doc.line, begin, stop);
        doc.line.swap(line);
        doc.pieces.push_back({begin, stop, std::hash<std::string_view>()(piece)});
        doc.size += stop - at; // counted from the declaration, without the blank before it
        if (stop == trailer) {
            doc.closed = true;
            const size_t trailerLine = trailerLength(doc);
            if (breaksFit(doc, trailerLine) && well_formed(text(doc))) {
                step(stop, -1);
            }
            docs[current].closed = false;
        } else {
            afterBoundary(stop, current);
        }
        Open& same = docs[current];
        same.size -= stop - at;
        same.pieces.pop_back();
        same.line.swap(line);
    }

    // The length of the trailer line a closed document ends with.
    size_t trailerLength(const Open& doc) const {
        const std::string whole = text(doc);
        const size_t last = whole.rfind('\n', whole.size() - 2);
        return whole.size() - (last == std::string::npos ? 0 : last + 1);
    }

    // A piece of the document ends here and others come in.
    void pause(size_t current) {
        Open& doc = docs[current];
        if (doc.breaks.empty()) {
            doc.head = doc.pieces.size();
        }
        doc.breaks.push_back(doc.size);
    }

    void resume(size_t current) { docs[current].breaks.pop_back(); }

    // At a block boundary of document `current`: a declaration, the document's next
    // bytes, or the next piece of another document still open.
    void afterBoundary(size_t at, size_t current) {
        if (declarationAt(at)) {
            pause(current);
            open(at, at);
            resume(current);
            return;
        }
        for (size_t i = 0; i < docs.size(); ++i) {
            if (i == current) {
                step(at, static_cast<int>(current));
            } else if (!docs[i].closed && docs[i].size % block == 0) {
                pause(current);
                step(at, static_cast<int>(i));
                resume(current);
            }
        }
    }

    const std::string& bytes;
    const size_t length;
    const size_t block;
    const std::vector<size_t>& declarations;
    std::vector<Open> docs;
    std::unordered_set<size_t> seen;
    int steps = 0;
    std::vector<Open> solution;
    // The exchanges of rests: the documents broken after their first pieces, the kind
    // of each one's rest, which kinds each could take, and the chains found.
    std::vector<size_t> broken;
    std::vector<size_t> kind;
    std::vector<std::vector<signed char>> known;
    std::vector<std::vector<bool>> alike;
    int joins = 0;
};

} // namespace

bool is_trailer_line(const char* begin, const char* end) {
    const char* found = std::search(begin, end, kWords, kWords + kWordsLength);
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

bool is_whole(const std::string& document) {
    size_t end = without_trailer(document);
    while (end > 0 && is_blank(document.data() + end - 1, document.data() + end)) {
        --end;
    }
    // The root element: the first one after the declaration, comments and the like.
    size_t at = 0;
    while ((at = document.find('<', at)) != kNone && at + 1 < end &&
           (document[at + 1] == '?' || document[at + 1] == '!')) {
        ++at;
    }
    if (at == kNone || at + 1 >= end) {
        return false;
    }
    const size_t name = at + 1;
    const size_t after = document.find_first_of(" \t\r\n/>", name);
    const std::string endTag =
        "</" + document.substr(name, (after == kNone ? end : after) - name) + ">";
    return end >= endTag.size() &&
           document.compare(end - endTag.size(), endTag.size(), endTag) == 0;
}

DocumentCutter::DocumentCutter(size_t blockSize) : block(blockSize > 0 ? blockSize : 4096) {}

void DocumentCutter::add(const char* data, size_t size) {
    buffer.append(data, size);
}

std::string DocumentCutter::takeStray() {
    std::string bytes;
    bytes.swap(stray);
    return bytes;
}

size_t DocumentCutter::takeUntold() {
    size_t count = untold;
    untold = 0;
    return count;
}

unsigned long long DocumentCutter::consumed() const {
    return ready.empty() ? taken : handedEnd;
}

// Finds the declarations and trailer lines of the lines completed since the last call,
// and at the end of a delivery the declarations of its unfinished last line.
void DocumentCutter::scan(bool atEnd) {
    for (;;) {
        size_t newline = buffer.find('\n', std::max(lineFrom, newlineFrom));
        if (newline == kNone) {
            newlineFrom = buffer.size();
            if (!atEnd || lineFrom == buffer.size()) {
                return;
            }
            newline = buffer.size();
        }
        const char* line = buffer.data() + lineFrom;
        const char* end = buffer.data() + newline;
        for (const char* at = line;
             (at = std::search(at, end, kDeclaration, kDeclaration + kDeclarationLength)) != end;
             at += kDeclarationLength) {
            declarations.push_back(static_cast<size_t>(at - buffer.data()));
        }
        if (newline < buffer.size() && is_trailer_line(line, end)) {
            trailers.emplace_back(lineFrom, newline + 1);
            marks.emplace_back(newline + 1, true);
        } else if (newline < buffer.size()) {
            // The trailer's last bytes may come later, after another writer's piece.
            const char* words = std::search(line, end, kWords, kWords + kWordsLength);
            const char* after = words + kWordsLength;
            if (words != end && std::find(line, words, '<') == words &&
                static_cast<size_t>(end - after) >= kTrailerEndLength &&
                memcmp(after, kTrailerEnd, kTrailerEndLength) == 0) {
                marks.emplace_back(static_cast<size_t>(after - buffer.data()) + kTrailerEndLength,
                                   false);
            }
        }
        lineFrom = std::min(newline + 1, buffer.size());
    }
}

void DocumentCutter::erase(size_t length) {
    buffer.erase(0, length);
    taken += length;
    auto declaration = std::lower_bound(declarations.begin(), declarations.end(), length);
    declarations.erase(declarations.begin(), declaration);
    for (size_t& at : declarations) {
        at -= length;
    }
    size_t gone = 0;
    while (gone < trailers.size() && trailers[gone].first < length) {
        ++gone;
    }
    trailers.erase(trailers.begin(), trailers.begin() + static_cast<std::ptrdiff_t>(gone));
    for (auto& line : trailers) {
        line.first -= length;
        line.second -= length;
    }
    gone = 0;
    while (gone < marks.size() && marks[gone].first <= length) {
        ++gone;
    }
    marks.erase(marks.begin(), marks.begin() + static_cast<std::ptrdiff_t>(gone));
    for (auto& mark : marks) {
        mark.first -= length;
    }
    lineFrom = lineFrom > length ? lineFrom - length : 0;
    newlineFrom = newlineFrom > length ? newlineFrom - length : 0;
}

void DocumentCutter::emit(size_t length) {
    ready.push_back({buffer.substr(0, length), taken + length, true});
    erase(length);
    cut = true;
}

// Puts the stretch buffer[0, length) of interleaved documents back together: the certain
// ones go out, the rest is passed over whole.
void DocumentCutter::resolve(size_t length) {
    std::vector<size_t> inside(declarations.begin(),
                               std::lower_bound(declarations.begin(), declarations.end(), length));
    std::vector<std::string> documents;
    std::string rest;
    if (!Stretch(buffer, length, block, inside).solve(documents, rest)) {
        documents.assign(inside.size(), std::string());
        rest = buffer.substr(0, length);
    }
    const unsigned long long before = taken;
    for (std::string& document : documents) {
        if (document.empty()) {
            ++untold;
        } else {
            ready.push_back({std::move(document), before, false});
        }
    }
    stray += rest;
    erase(length);
    if (!ready.empty() && !ready.back().final) {
        ready.back().end = taken;
        ready.back().final = true;
    }
    cut = true;
}

// Where the stretch of interleaved documents that begins at the buffer's front ends: after
// the trailer that closes the last one open; kNone when it is not in the buffer yet.
// `later` counts the trailers after the declaration `second`.
size_t DocumentCutter::stretchEnd(size_t second, size_t& later) const {
    size_t open = 0;
    for (size_t d = 0, m = 0; d < declarations.size() || m < marks.size();) {
        if (m == marks.size() || (d < declarations.size() && declarations[d] < marks[m].first)) {
            ++open;
            ++d;
            continue;
        }
        later += marks[m].first > second ? 1U : 0U;
        open -= open > 0 ? 1 : 0;
        if (open == 0 && marks[m].second) {
            return marks[m].first;
        }
        ++m;
    }
    return kNone;
}

// Cuts what the front of the buffer allows: one document, or a stretch of interleaved
// ones, or the stray bytes before a declaration. False when more bytes are needed.
bool DocumentCutter::cutFront(bool atEnd) {
    scan(atEnd);
    const size_t first = declarations.empty() ? kNone : declarations[0];
    const size_t trailer = trailers.empty() ? kNone : trailers[0].second;
    if (first == kNone && trailer == kNone) {
        return false;
    }
    if (trailer != kNone && (first == kNone || trailer <= first)) {
        emit(trailer); // what comes before a trailer is a document, whatever it is
        return true;
    }
    if (!is_blank(buffer.data(), buffer.data() + first)) {
        stray.append(buffer, 0, first);
        erase(first);
        return true;
    }
    const size_t second = declarations.size() > 1 ? declarations[1] : kNone;
    // A trailer whose line end comes later, after another writer's piece, ends its
    // document where its equal signs end.
    auto mark = std::find_if(marks.begin(), marks.end(),
                             [first](const std::pair<size_t, bool>& m) { return m.first > first; });
    if (mark != marks.end() && !mark->second && (second == kNone || mark->first <= second)) {
        emit(mark->first);
        return true;
    }
    if (trailer != kNone && (second == kNone || trailer <= second)) {
        emit(trailer);
        return true;
    }
    if (second == kNone) {
        return false;
    }
    if ((second - first) % block == 0) {
        // Another document interrupts this one.
        size_t later = 0;
        const size_t end = stretchEnd(second, later);
        if (end != kNone) {
            resolve(end);
            return true;
        }
        if (!atEnd && buffer.size() - first < kLongestStretch && later < kMostTrailers) {
            return false;
        }
        // A trailer split where it cannot be seen in the stream: the stretch is taken to
        // end with the delivery, or with the last whole trailer line.
        const size_t last = atEnd ? buffer.size() : trailers.empty() ? 0 : trailers.back().second;
        if (last > second) {
            resolve(last);
            return true;
        }
    }
    // The document ends without a trailer before the line of the next declaration; what
    // stands before the declaration on its line is passed over (blank space goes with
    // the next document).
    size_t line = buffer.rfind('\n', second);
    line = line == kNone ? 0 : line + 1;
    emit(line > first ? line : second);
    return true;
}

bool DocumentCutter::next(std::string& document) {
    while (ready.empty()) {
        if (!cutFront(false)) {
            return false;
        }
    }
    document.swap(ready.front().text);
    handedEnd = ready.front().end;
    handedFinal = ready.front().final;
    ready.pop_front();
    return true;
}

bool DocumentCutter::finish(std::string& document) {
    while (cutFront(true)) {
    }
    if (!cut || has_content(buffer)) {
        ready.push_back({buffer, taken + buffer.size(), true});
    }
    erase(buffer.size());
    declarations.clear();
    trailers.clear();
    marks.clear();
    lineFrom = newlineFrom = 0;
    cut = false;
    return next(document);
}
