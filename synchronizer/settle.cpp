#include "settle.h"

#include <tallow.h>

#include <cstring>

namespace {

const uint8_t kRecTypeSystemEvent = 0x02;
// Of a system event record, the body bytes from here on tell the event.
const size_t kEventBytesFrom = 1 + 6;
// The most records read back after the last known one: the BMC's own events during a
// long outage may be many, a group of ours is far fewer.
const size_t kMostRead = 4096;
const unsigned kNoRecord = 0xFFFF;

} // namespace

namespace settle {

Bytes bytesOf(const SEL_entry_t& entry) {
    Bytes bytes = {};
    bytes[0] = entry.RecType;
    memcpy(&bytes[1], &entry.e0, sizeof entry.e0);
    return bytes;
}

bool same(const std::vector<uint8_t>& noted, const Bytes& kept) {
    if (noted.size() != kept.size() || noted[0] != kept[0]) {
        return false;
    }
    const size_t from = noted[0] == kRecTypeSystemEvent ? kEventBytesFrom : 1;
    return memcmp(noted.data() + from, kept.data() + from, kept.size() - from) == 0;
}

std::vector<unsigned> match(const std::vector<std::vector<uint8_t>>& noted,
                            const std::vector<Kept>& added) {
    std::vector<unsigned> found(noted.size(), 0);
    size_t next = 0;
    for (size_t n = 0; n < noted.size(); ++n) {
        for (size_t k = next; k < added.size(); ++k) {
            if (same(noted[n], added[k].bytes)) {
                found[n] = added[k].id;
                next = k + 1;
                break;
            }
        }
    }
    return found;
}

int addedSince(BMC_t* bmc, unsigned lastId, std::vector<Kept>& added) {
    added.clear();
    uint32_t last = 0;
    int rc = BMC_FPL_last_id(bmc, &last);
    if (rc != 0 || last == 0 || last == lastId) {
        return rc;
    }
    SEL_entry_t entry;
    uint32_t next = 0;
    rc = lastId != 0 ? BMC_FPL_get_entry(bmc, lastId, &entry) : BMC_E_INVAL;
    if (rc == 0) {
        next = entry.NextID;
    } else if (rc == BMC_E_INVAL) {
        rc = BMC_FPL_first_id(bmc, &next); // not kept any more: all of it is new
    }
    while (rc == 0 && next != 0 && next < kNoRecord && added.size() < kMostRead) {
        rc = BMC_FPL_get_entry(bmc, next, &entry);
        if (rc != 0) {
            break;
        }
        added.push_back({entry.ThisID, bytesOf(entry)});
        if (entry.ThisID == last || entry.NextID == next) {
            break;
        }
        next = entry.NextID;
    }
    return rc;
}

} // namespace settle
