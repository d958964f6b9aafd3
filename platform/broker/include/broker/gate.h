// The real broker answers no request while one of its deliveries is blocked on a full
// pipe: a reader that registers before it drains its pipe waits for ever. The stand-in
// does the same across processes with two lock files in the repository folder.
#ifndef ORVIND_BROKER_GATE_H
#define ORVIND_BROKER_GATE_H

#include <string>

namespace broker {

// Held for the length of one delivery (open, write, close) or of one request answered
// through the connector. Deliveries run side by side; a request waits until no delivery
// is under way, and deliveries that come while it waits wait for it, so a stream of
// deliveries cannot keep it out for good. Without the folder (no broker) nothing is held.
class Gate {
public:
    enum Side { delivery, request };
    Gate(const std::string& dir, Side side);
    ~Gate();
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

private:
    // "requests": taken by a request while it waits, and in passing by each delivery;
    // "deliveries": held shared by each delivery, exclusively by a request.
    int requests_ = -1;
    int deliveries_ = -1;
};

} // namespace broker

#endif
