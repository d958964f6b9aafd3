#ifndef ORVIND_SETTLE_H
#define ORVIND_SETTLE_H

#include <array>
#include <cstdint>
#include <vector>

// The BMC library's handle and log record (tallow.h).
typedef struct BMC BMC_t;
typedef struct SEL_entry SEL_entry_t;

// Which of the records noted before a kill or an outage (pending.h) the BMC keeps: read
// back from the BMC's log and compared byte for byte, in the order they were sent.
namespace settle {

// A record as the BMC keeps it: its type, then its 13 body bytes.
using Bytes = std::array<uint8_t, 14>;
Bytes bytesOf(const SEL_entry_t& entry);

// Whether a kept record is the noted one. Of a system event record (type 2) the BMC sets
// the time and the generator (body bytes 0-5) itself: only the rest is compared.
bool same(const std::vector<uint8_t>& noted, const Bytes& kept);

// A record the BMC keeps, with its id.
struct Kept {
    unsigned id = 0;
    Bytes bytes = {};
};

// For each noted record, in the order they were sent, the id of the record of `added`
// that it is (0: not found). Each kept record answers one note at most, in order: other
// writers' records between ours are passed over, and a record sent twice (two rows with
// the same event at the same second) is found twice only when the BMC keeps it twice.
std::vector<unsigned> match(const std::vector<std::vector<uint8_t>>& noted,
                            const std::vector<Kept>& added);

// The records the BMC keeps after the record `lastId`, oldest first, read back one by
// one (all of them when `lastId` is 0 or the BMC no longer keeps it, its log cleared).
// 0, or the BMC library's code.
int addedSince(BMC_t* bmc, unsigned lastId, std::vector<Kept>& added);

} // namespace settle

#endif
