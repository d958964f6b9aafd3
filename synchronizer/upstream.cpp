#include "upstream.h"

#include "statement.h"

#include <map>
#include <sstream>

namespace upstream {

namespace {

const char* const kCreate =
    "CREATE TABLE IF NOT EXISTS upstream_sequence(Context TEXT PRIMARY KEY, Below INTEGER "
    "NOT NULL, Seen TEXT NOT NULL, HoleSince INTEGER NOT NULL, Missing INTEGER NOT NULL, "
    "Repeated INTEGER NOT NULL)";

using sql::prepare;
using sql::Statement;

// Moves `below` past the numbers that have arrived.
void close(Context& c) {
    while (!c.seen.empty() && *c.seen.begin() == c.below) {
        c.seen.erase(c.seen.begin());
        ++c.below;
    }
}

std::string text(const std::set<long long>& numbers) {
    std::string out;
    for (long long n : numbers) {
        out += (out.empty() ? "" : " ") + std::to_string(n);
    }
    return out;
}

std::set<long long> numbers(const char* text) {
    std::set<long long> out;
    std::istringstream in(text != nullptr ? text : "");
    for (long long n = 0; in >> n;) {
        out.insert(n);
    }
    return out;
}

int load(sqlite3* db, std::map<std::string, Context>* contexts) {
    int rc = sqlite3_exec(db, kCreate, nullptr, nullptr, nullptr);
    Statement select(prepare(
        db, "SELECT Context, Below, Seen, HoleSince, Missing, Repeated FROM upstream_sequence",
        &rc));
    if (!select) {
        return rc;
    }
    while ((rc = sqlite3_step(select.get())) == SQLITE_ROW) {
        const char* name = reinterpret_cast<const char*>(sqlite3_column_text(select.get(), 0));
        Context& c = (*contexts)[name != nullptr ? name : ""];
        c.below = sqlite3_column_int64(select.get(), 1);
        c.seen = numbers(reinterpret_cast<const char*>(sqlite3_column_text(select.get(), 2)));
        c.holeSince = static_cast<time_t>(sqlite3_column_int64(select.get(), 3));
        c.missing = sqlite3_column_int64(select.get(), 4);
        c.repeated = sqlite3_column_int64(select.get(), 5);
    }
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

int save(sqlite3* db, const std::string& name, const Context& c) {
    int rc = SQLITE_OK;
    Statement replace(prepare(db,
                              "INSERT OR REPLACE INTO upstream_sequence(Context, Below, Seen, "
                              "HoleSince, Missing, Repeated) VALUES(?, ?, ?, ?, ?, ?)",
                              &rc));
    if (!replace) {
        return rc;
    }
    const std::string seen = text(c.seen);
    sqlite3_bind_text(replace.get(), 1, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(replace.get(), 2, c.below);
    sqlite3_bind_text(replace.get(), 3, seen.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(replace.get(), 4, static_cast<sqlite3_int64>(c.holeSince));
    sqlite3_bind_int64(replace.get(), 5, c.missing);
    sqlite3_bind_int64(replace.get(), 6, c.repeated);
    rc = sqlite3_step(replace.get());
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

} // namespace

void see(Context& c, long long number, time_t now, bool first) {
    if (first) {
        c.below = number;
    }
    if (number < c.below || c.seen.count(number) != 0) {
        ++c.repeated;
        return;
    }
    c.seen.insert(number);
    close(c);
    if (c.seen.empty()) {
        c.holeSince = 0;
    } else if (c.holeSince == 0) {
        c.holeSince = now;
    }
}

bool expire(Context& c, time_t now, Gap* gap) {
    if (c.seen.empty() || c.holeSince == 0 || now - c.holeSince < kGapSeconds) {
        return false;
    }
    gap->first = c.below;
    gap->last = *c.seen.begin() - 1;
    c.missing += gap->last - gap->first + 1;
    c.below = *c.seen.begin();
    close(c);
    // The next hole is given its own while: when its later number came is not kept.
    c.holeSince = c.seen.empty() ? 0 : now;
    return true;
}

int record(sqlite3* db, const std::vector<Sighting>& sightings, time_t now,
           std::vector<Gap>* gaps) {
    std::map<std::string, Context> contexts;
    int rc = load(db, &contexts);
    if (rc != SQLITE_OK) {
        return rc;
    }
    std::set<std::string> changed;
    for (const Sighting& s : sightings) {
        const bool first = contexts.count(s.context) == 0;
        see(contexts[s.context], s.number, now, first);
        changed.insert(s.context);
    }
    for (auto& [name, c] : contexts) {
        Gap gap;
        gap.context = name;
        while (expire(c, now, &gap)) {
            gaps->push_back(gap);
            changed.insert(name);
        }
    }
    for (const std::string& name : changed) {
        if ((rc = save(db, name, contexts[name])) != SQLITE_OK) {
            return rc;
        }
    }
    return SQLITE_OK;
}

} // namespace upstream
