#ifndef ORVIND_CHECK_H
#define ORVIND_CHECK_H

#include <cstdio>

// orvind --check: whether the daemon could do its work on this host, one line per item
// ("ok", "FAIL" or "note", then what was found and, for a failure, what to do): its
// folders and their modes, the event dictionary, the BMC, the broker registration and
// the credentials. It only looks: it creates, changes and locks nothing, so it runs beside
// a running daemon. 0 when every item passes, else 1.
int run_check(FILE* out);

#endif
