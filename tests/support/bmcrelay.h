#ifndef ORVIND_TESTS_BMCRELAY_H
#define ORVIND_TESTS_BMCRELAY_H

#include "files.h"

#include <atomic>
#include <memory>
#include <string>

class JoiningThread;

// A UDP relay on a free loopback port in front of a LAN BMC (an IpmiSim), that makes it a
// BMC which accepts records and does not keep them, as some firmwares do. It passes every
// datagram through, each client on a socket of its own towards the BMC, except Add SEL
// Entry (storage 0x44) of the records its mode drops: these go on to the BMC as Get SEL
// Info (a read, so the BMC keeps nothing and its session stays in step), and the relay
// turns the BMC's answer into completion code 0 with the record id of its mode.
//
// It reads the IPMI messages of IPMI 2.0 LAN sessions in the clear only: the client must
// open them with cipher suite 0 (ORVIND_BMC_CIPHER_SUITE=0 for the BMC library). Anything
// else (signed or sealed payloads, session set-up) passes unchanged.
//
//     BmcRelay relay(sim.address(), BmcRelay::Mode::LastId);
//     ASSERT_TRUE(relay.start()) << relay.failure();
//     setenv("ORVIND_BMC_LAN", relay.address().c_str(), 1);
class BmcRelay {
public:
    enum class Mode {
        // Every record, any type: answered with record id 0xFFFF.
        LastId,
        // OEM records (types 0xC0 to 0xFF): answered with the record id of the request (the
        // caller's own, 0 for "let the BMC assign it"); other records are added.
        OwnId,
    };

    BmcRelay(std::string bmcAddress, Mode mode);
    ~BmcRelay();
    BmcRelay(const BmcRelay&) = delete;
    BmcRelay& operator=(const BmcRelay&) = delete;

    // Binds a free loopback port and starts relaying; false with failure().
    bool start();
    const std::string& failure() const { return error; }
    // "127.0.0.1:PORT".
    std::string address() const;
    // How many Add SEL Entry requests it answered without the BMC keeping the record.
    int dropped() const { return droppedCount; }

private:
    void relay();

    std::string bmc;
    Mode mode;
    files::Fd listening;
    int port = 0;
    std::string error;
    std::atomic<bool> running{false};
    std::atomic<int> droppedCount{0};
    std::unique_ptr<JoiningThread> thread; // last: stopped before the rest goes
};

#endif
