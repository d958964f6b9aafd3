#ifndef ORVIND_TESTS_IPMISIM_H
#define ORVIND_TESTS_IPMISIM_H

#include <string>
#include <sys/types.h>
#include <vector>

// OpenIPMI's BMC simulator (`ipmi_sim`) on a free loopback UDP port, with a configuration
// and state folder of its own (no root needed): one BMC with a SEL of `selSize` records
// and an administrator "admin"/"secret" on IPMI 2.0 LAN. Stopped by its pid; the state
// folder, and so the SEL, survives a stop and start. Everything goes with the object.
//
//     IpmiSim sim;
//     ASSERT_TRUE(sim.start()) << sim.failure();
//     sim.useFromHere();   // ORVIND_BMC_LAN and the credentials for the BMC library
//     ... sim.sel() ...
class IpmiSim {
public:
    explicit IpmiSim(int selSize = 1000);
    ~IpmiSim();
    IpmiSim(const IpmiSim&) = delete;
    IpmiSim& operator=(const IpmiSim&) = delete;

    // Whether the simulator and ipmitool are installed.
    static bool available();

    // Starts it and waits until it answers (a few seconds at most); false with failure().
    bool start();
    // SIGTERM to its pid, then waits for it to end.
    void stop();
    const std::string& failure() const { return error; }

    // "127.0.0.1:PORT".
    std::string address() const;
    // Sets ORVIND_BMC_LAN, ORVIND_BMC_USER and ORVIND_BMC_PASSWORD in this process, so
    // that the BMC library and the daemons it starts talk to the simulator.
    void useFromHere() const;

    // ipmitool (not our code) with the LAN options and `args`: its standard output, or "" when
    // it fails.
    std::string ipmitool(const std::string& args) const;

    // The SEL as ipmitool lists it: for each record its id, its record type and, for OEM
    // records (0xC0 to 0xFF), the body bytes as lowercase hexadecimal.
    struct Record {
        unsigned id = 0;
        unsigned type = 0;
        std::string body;
    };
    std::vector<Record> sel() const;

private:
    int selSize;
    int port = 0;
    pid_t pid = 0;
    std::string dir;
    std::string error;
};

#endif
