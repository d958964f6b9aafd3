#ifndef ORVIND_TESTS_FORWARDKILLS_H
#define ORVIND_TESTS_FORWARDKILLS_H

#include <random>
#include <string>
#include <utility>
#include <vector>

class Sandbox;

// Rows killed in their forwarding: stored before the daemon starts, each with an event
// time of its own, a second after the row before (so its FPL record's time bytes tell
// the row), the events taken in turn.
void storeRowsForKills(int rows, const std::vector<std::pair<std::string, std::string>>& events);

// Starts the daemon and `kills` times kills it with SIGKILL at a random moment of its
// forwarding (20 to 150 ms into it) and starts it again; then waits until every row is forwarded and stops it. Returns how many
// records the restarts found in the BMC's log and marked without sending them again.
size_t killWhileForwarding(Sandbox& sb, int kills, std::mt19937& random);

#endif
