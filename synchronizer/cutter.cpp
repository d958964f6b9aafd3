#include "cutter.h"

#include <algorithm>
#include <cstring>
#include <libxml/parser.h>
#include <map>
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
// How the broker ends every document: a line end, the trailer line and its line end.
const char kTail[] = "\n=========== End of Indication ===========\n";
const size_t kTailLength = sizeof kTail - 1;

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

bool named(const xmlNode* node, const char* name) {
    return node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, BAD_CAST name) == 0;
}

// The NAME of a property element (PROPERTY, PROPERTY.ARRAY, PROPERTY.REFERENCE).
const xmlChar* property_name(const xmlNode* node) {
    if (node->type != XML_ELEMENT_NODE || xmlStrncmp(node->name, BAD_CAST "PROPERTY", 8) != 0 ||
        (node->name[8] != '\0' && node->name[8] != '.')) {
        return nullptr;
    }
    const xmlAttr* name = xmlHasProp(node, BAD_CAST "NAME");
    return name != nullptr && name->children != nullptr && name->children->content != nullptr
               ? name->children->content
               : BAD_CAST "";
}

// libxml2 reads the document, without its trailer line, to its end without an error,
// and it is a request as the broker writes them: at most one INSTANCE, and each of its
// properties once. (Other documents have no INSTANCE and pass on being well-formed.)
bool valid_request(const std::string& text) {
    const size_t length = without_trailer(text);
    std::unique_ptr<xmlDoc, XmlDocFree> doc(
        xmlReadMemory(text.data(), static_cast<int>(length), nullptr, "utf-8",
                      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (doc == nullptr) {
        return false;
    }
    size_t instances = 0;
    std::vector<const xmlNode*> todo = {xmlDocGetRootElement(doc.get())};
    while (!todo.empty()) {
        const xmlNode* node = todo.back();
        todo.pop_back();
        if (node == nullptr) {
            continue;
        }
        if (named(node, "INSTANCE")) {
            if (++instances > 1) {
                return false;
            }
            std::vector<std::basic_string<xmlChar>> names;
            for (const xmlNode* child = node->children; child != nullptr; child = child->next) {
                if (const xmlChar* name = property_name(child)) {
                    names.emplace_back(name);
                }
            }
            std::sort(names.begin(), names.end());
            if (std::adjacent_find(names.begin(), names.end()) != names.end()) {
                return false;
            }
        }
        for (const xmlNode* child = node->children; child != nullptr; child = child->next) {
            if (child->type == XML_ELEMENT_NODE) {
                todo.push_back(child);
            }
        }
    }
    return true;
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
    // found that gives well-formed requests is taken; a document of it is certain unless
    // its first blocks could as well end with another text, what follows the first
    // blocks of a document that in turn could end with ... its own (see uncertain()).
    // False when no way was found.
    bool solve(std::vector<std::string>& documents, std::string& rest) {
        if (!direct()) {
            step(0, -1);
        }
        if (solution.empty()) {
            return false;
        }
        for (const Open& doc : solution) {
            documents.push_back(text(doc));
        }
        const std::vector<bool> unsure = uncertain();
        std::vector<bool> covered(length, false);
        for (size_t i = 0; i < solution.size(); ++i) {
            if (unsure[i]) {
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
        // Where its declaration stands.
        size_t declaration = 0;
    };
    // A document of the way found, cut where its first write ends: the whole blocks
    // before its last one. `pieces` is the number of pieces that first write reaches
    // into; none when the document is shorter than a block and so was never cut.
    struct Split {
        size_t pieces = 0;
        size_t headEnd = 0;
        size_t restFrom = 0;
        std::string head;
        std::string rest;
        size_t kind = 0;
    };

    // Where document `doc` was cut by its writer's stream.
    Split splitOf(const Open& doc) const {
        Split split;
        const size_t n = doc.size - trailerLength(doc) - 1;
        const size_t whole = n - n % block;
        // The first write ends inside a piece or at its end: when the rest and the
        // trailer fill more than a block, a block of them came with the first write's
        // bytes in one piece of the way found, and only the trailer's last bytes after.
        size_t size = 0;
        for (size_t i = 0; whole > 0 && i < doc.pieces.size() && split.pieces == 0; ++i) {
            const Piece& piece = doc.pieces[i];
            const size_t from = i == 0 ? doc.declaration : piece.from;
            if (size + (piece.to - from) >= whole) {
                const size_t cut = from + (whole - size);
                if (cut == piece.to && i + 1 == doc.pieces.size()) {
                    break;
                }
                split.pieces = i + 1;
                split.headEnd = cut;
                split.restFrom = cut < piece.to ? cut : doc.pieces[i + 1].from;
                split.head.append(bytes, piece.from, cut - piece.from);
                split.rest.append(bytes, cut, piece.to - cut);
            } else {
                split.head.append(bytes, piece.from, piece.to - piece.from);
            }
            size += piece.to - from;
        }
        for (size_t i = split.pieces; i < doc.pieces.size(); ++i) {
            const Piece& piece = doc.pieces[i];
            (split.pieces > 0 ? split.rest : split.head)
                .append(bytes, piece.from, piece.to - piece.from);
        }
        return split;
    }

    // Document a's first blocks could as well end with what follows document b's: a's
    // first write comes before b's rest, and the two make a well-formed request. Its
    // length needs no check: b's rest is shorter than a block (with its trailer), and so
    // the first write of such a document is a's whole blocks. The answer is kept for
    // each first write and each kind of rest; one alike a's own is a's own text.
    bool takes(size_t a, size_t b) {
        const Split& first = splits[a];
        const Split& second = splits[b];
        if (first.headEnd > second.restFrom) {
            return false;
        }
        if (first.kind == second.kind) {
            return true;
        }
        signed char& answer = known[a][second.kind];
        if (answer < 0) {
            // Past the budget every join counts as well-formed: more is passed over.
            answer = ++joins > kMostSteps || valid_request(first.head + second.rest) ? 1 : 0;
        }
        return answer == 1;
    }

    // The documents that another way of reading the stretch gives another text. Those
    // ways put the same first writes together with the same rests in another order: a
    // round of documents each taking the next one's rest. Such a round exists through
    // `a` taking b's rest exactly when a takes b's rest and b and a lie in one strongly
    // connected part of the graph "x could take y's rest". The document changes unless
    // the rest it takes is alike its own, byte for byte.
    std::vector<bool> uncertain() {
        splits.clear();
        std::vector<std::string> kinds;
        for (const Open& doc : solution) {
            Split split = splitOf(doc);
            auto found = std::find(kinds.begin(), kinds.end(), split.rest);
            split.kind = static_cast<size_t>(found - kinds.begin());
            if (found == kinds.end()) {
                kinds.push_back(split.rest);
            }
            splits.push_back(std::move(split));
        }
        known.assign(solution.size(), std::vector<signed char>(kinds.size(), -1));
        const std::vector<size_t> part = strongParts(clusters());
        const size_t n = solution.size();
        std::vector<bool> unsure(n, false);
        for (size_t a = 0; a < n; ++a) {
            for (size_t b = 0; b < n && splits[a].pieces > 0 && !unsure[a]; ++b) {
                unsure[a] =
                    b != a && part[b] == part[a] && splits[b].kind != splits[a].kind && takes(a, b);
            }
        }
        return unsure;
    }

    // A round of documents taking each other's rests stays among documents whose spans
    // from the end of the first write to the start of the rest overlap, one after the
    // other: past a point that no span covers, the rests after it are exactly those of
    // the documents whose first writes come after it. So the documents fall into
    // clusters of overlapping spans (a document that came whole has a span of one
    // point), and only documents of one cluster are compared; most stand alone.
    std::vector<size_t> clusters() const {
        const size_t n = splits.size();
        std::vector<size_t> order;
        for (size_t i = 0; i < n; ++i) {
            if (splits[i].pieces > 0) {
                order.push_back(i);
            }
        }
        std::sort(order.begin(), order.end(),
                  [this](size_t a, size_t b) { return splits[a].headEnd < splits[b].headEnd; });
        std::vector<size_t> cluster(n, n);
        size_t reach = 0;
        size_t current = n;
        for (size_t i : order) {
            if (current == n || splits[i].headEnd > reach) {
                current = i;
                reach = splits[i].restFrom;
            }
            cluster[i] = current;
            reach = std::max(reach, splits[i].restFrom);
        }
        return cluster;
    }

    // Tarjan's strongly connected parts of the graph "a could take b's rest", within
    // each cluster, without recursion: `index` and `low` of each document (0: not
    // visited yet), its part once it is closed.
    std::vector<size_t> strongParts(const std::vector<size_t>& cluster) {
        const size_t n = solution.size();
        std::vector<size_t> index(n, 0), low(n, 0), part(n, n);
        std::vector<size_t> stack;
        std::vector<std::pair<size_t, size_t>> calls; // document, next one to look at
        size_t counter = 0;
        for (size_t root = 0; root < n; ++root) {
            if (index[root] != 0 || splits[root].pieces == 0) {
                continue;
            }
            calls.emplace_back(root, 0);
            index[root] = low[root] = ++counter;
            stack.push_back(root);
            while (!calls.empty()) {
                auto& [x, y] = calls.back();
                if (y < n) {
                    const size_t to = y++;
                    if (to == x || cluster[to] != cluster[x] || !takes(x, to)) {
                        continue;
                    }
                    if (index[to] == 0) {
                        index[to] = low[to] = ++counter;
                        stack.push_back(to);
                        calls.emplace_back(to, 0);
                    } else if (part[to] == n) {
                        low[x] = std::min(low[x], index[to]);
                    }
                    continue;
                }
                const size_t done = x;
                calls.pop_back();
                if (!calls.empty()) {
                    low[calls.back().first] = std::min(low[calls.back().first], low[done]);
                }
                if (low[done] == index[done]) {
                    size_t member = n;
                    do {
                        member = stack.back();
                        stack.pop_back();
                        part[member] = done;
                    } while (member != done);
                }
            }
        }
        return part;
    }
    // The stretch read the way the broker's writers cut their documents, without a
    // search: every declaration begins a document whose first write runs to the next
    // declaration (a whole number of blocks) or, when its trailer comes first, to its
    // last whole block; the rest of its trailer's stretch, and any bytes after a trailer
    // that do not begin a document, is a rest, which ends with its trailer. The rests
    // are then given to the first writes they can end (see match()). False when the
    // stretch does not read so (a trailer cut apart, a first write of another length):
    // the search of all ways takes over.
    bool direct() {
        std::vector<Open> found;
        std::vector<std::pair<size_t, size_t>> rests;
        for (size_t at = 0; at < length;) {
            size_t next = at;
            while (next < length && is_blank(bytes.data() + next, bytes.data() + next + 1)) {
                ++next;
            }
            if (next == length) {
                break; // blank space after the last trailer belongs to no document
            }
            const size_t trailer = tailAfter(at);
            if (!declarationAt(next)) {
                const size_t last = lastOfTail(at);
                if (last != kNone) {
                    rests.emplace_back(at, last); // see lastOfTail()
                    at = last;
                    continue;
                }
                if (trailer == kNone || declarationAfter(at) < trailer) {
                    return false;
                }
                rests.emplace_back(at, trailer);
                at = trailer;
                continue;
            }
            Open doc;
            doc.declaration = next;
            const size_t lead = found.empty() ? at : next;
            const size_t interrupted = declarationAfter(next);
            if (interrupted < trailer) {
                if ((interrupted - next) % block != 0) {
                    return false;
                }
                doc.pieces.push_back({lead, interrupted, 0});
                doc.size = interrupted - next;
                at = interrupted;
            } else if (trailer != kNone) {
                const size_t n = trailer - next - kTailLength;
                const size_t whole = n - n % block;
                doc.pieces.push_back({lead, whole > 0 ? next + whole : trailer, 0});
                doc.size = whole > 0 ? whole : trailer - next;
                if (whole > 0) {
                    rests.emplace_back(next + whole, trailer);
                }
                at = trailer;
            } else {
                return false;
            }
            found.push_back(std::move(doc));
        }
        return match(found, rests);
    }

    // The end of the first line end, trailer line and line end after `from`: the way the
    // broker ends every document; kNone when there is none.
    size_t tailAfter(size_t from) const {
        const size_t at = bytes.find(kTail, from, kTailLength);
        return at == std::string::npos || at + kTailLength > length ? kNone : at + kTailLength;
    }

    // Where the last bytes of a trailer that stand alone at `at` end, kNone when they do
    // not: a writer whose rest, line end and trailer fill more than its buffer writes a
    // buffer full of them, which ends inside the trailer line, and the rest of the line
    // after it. What came before is then a first write of a whole number of blocks.
    size_t lastOfTail(size_t at) const {
        for (size_t j = 1; j + 2 <= kTailLength; ++j) {
            const size_t size = kTailLength - j;
            if (at + size <= length && bytes.compare(at, size, kTail + j, size) == 0) {
                return at + size;
            }
        }
        return kNone;
    }

    // Gives each rest to a first write that it makes a well-formed request with and that
    // comes before it, by augmenting paths over the rests in order. Documents shorter
    // than a block have no rest and must be requests themselves.
    bool match(std::vector<Open>& found, const std::vector<std::pair<size_t, size_t>>& rests) {
        Matching m{found, rests, {}, {}, {}, {}, {}};
        for (size_t i = 0; i < found.size(); ++i) {
            if (found[i].size % block == 0 && found[i].size > 0) {
                m.heads.push_back(i);
            } else if (!valid_request(text(found[i]))) {
                return false;
            }
        }
        if (m.heads.size() != rests.size()) {
            return false;
        }
        std::map<std::string, size_t> kinds;
        for (const auto& rest : rests) {
            const std::string bytesOf = bytes.substr(rest.first, rest.second - rest.first);
            m.kinds.push_back(kinds.emplace(bytesOf, kinds.size()).first->second);
        }
        m.owner.assign(m.heads.size(), kNone);
        m.joins.assign(m.heads.size(), std::vector<signed char>(kinds.size(), -1));
        for (size_t r = 0; r < rests.size(); ++r) {
            m.tried.assign(m.heads.size(), false);
            if (!give(m, r)) {
                return false;
            }
        }
        for (size_t h = 0; h < m.heads.size(); ++h) {
            Open& doc = found[m.heads[h]];
            const auto& rest = rests[m.owner[h]];
            doc.pieces.push_back({rest.first, rest.second, 0});
            doc.size += rest.second - rest.first;
        }
        for (Open& doc : found) {
            doc.closed = true;
        }
        solution = std::move(found);
        return true;
    }

    struct Matching {
        const std::vector<Open>& found;
        const std::vector<std::pair<size_t, size_t>>& rests;
        std::vector<size_t> heads;                   // the documents with a rest
        std::vector<size_t> kinds;                   // of each rest, alike byte for byte
        std::vector<size_t> owner;                   // the rest each first write has, or kNone
        std::vector<bool> tried;                     // in the search for the current rest
        std::vector<std::vector<signed char>> joins; // first write and kind: -1 not tried
    };

    // Rest `r` goes to a first write before it: the one right before it first, then the
    // latest; one that has a rest already gives it up if that rest can go elsewhere.
    bool give(Matching& m, size_t r) {
        const size_t from = m.rests[r].first;
        size_t last = m.heads.size();
        while (last > 0 && m.found[m.heads[last - 1]].pieces[0].to > from) {
            --last;
        }
        for (size_t k = 0; k < last; ++k) {
            const size_t h = last - 1 - k; // the latest first: it is the one right before
            if (m.tried[h]) {
                continue;
            }
            signed char& join = m.joins[h][m.kinds[r]];
            if (join < 0) {
                if (++joins > kMostSteps) {
                    return false;
                }
                const Open& doc = m.found[m.heads[h]];
                join =
                    valid_request(text(doc) + bytes.substr(from, m.rests[r].second - from)) ? 1 : 0;
            }
            if (join != 1) {
                continue;
            }
            m.tried[h] = true; // a first write it can end: its rest is moved at most once
            if (m.owner[h] == kNone || give(m, m.owner[h])) {
                m.owner[h] = r;
                return true;
            }
        }
        return false;
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
        docs.back().declaration = at;
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
            if (breaksFit(doc, trailerLine) && valid_request(text(doc))) {
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
        // Most documents come whole: their own next bytes are tried first.
        step(at, static_cast<int>(current));
        for (size_t i = 0; i < docs.size(); ++i) {
            if (i != current && !docs[i].closed && docs[i].size % block == 0) {
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
    // The documents of the way found, cut where their first writes end, and which kinds
    // of rest each one's first write could take (-1: not tried yet).
    std::vector<Split> splits;
    std::vector<std::vector<signed char>> known;
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
