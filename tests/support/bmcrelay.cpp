#include "bmcrelay.h"

#include "files.h"
#include "testlog.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <vector>

namespace {

// An IPMI 2.0 LAN datagram: the RMCP header (4 bytes), the authentication type 0x06, the
// payload type, the session id and sequence number (4 bytes each), the payload length
// (2 bytes, least significant first), then the payload.
const size_t kPayloadAt = 16;
const uint8_t kRmcpPlus = 0x06;
// Payload type 0 (an IPMI message), neither encrypted (bit 7) nor authenticated (bit 6).
const uint8_t kClearMessage = 0x00;
// The IPMI message: responder or requester address, net function and LUN, checksum, the
// other address, sequence and LUN, command; then the request data, or the completion
// code and the answer; a last checksum over the bytes from the other address on.
const size_t kNetFnAt = 1;
const size_t kSequenceAt = 4;
const size_t kCommandAt = 5;
const size_t kDataAt = 6;
const uint8_t kNetFnStorage = 0x0A;
const uint8_t kNetFnStorageAnswer = 0x0B;
const uint8_t kAddSelEntry = 0x44;
const uint8_t kGetSelInfo = 0x40;
// Add SEL Entry's request: the record id (2 bytes), the record type, 13 more bytes.
const size_t kRecordSize = 16;
const uint8_t kFirstOemType = 0xC0;
const unsigned kLastId = 0xFFFF;
const size_t kLargest = 1024;

// The payload of a clear IPMI message in `datagram`, or false.
bool clearMessage(const std::vector<uint8_t>& datagram, size_t* length) {
    if (datagram.size() < kPayloadAt || datagram[4] != kRmcpPlus || datagram[5] != kClearMessage) {
        return false;
    }
    *length = datagram[14] | (static_cast<size_t>(datagram[15]) << 8);
    return *length > kDataAt && kPayloadAt + *length <= datagram.size();
}

// The message's last checksum, made anew.
void checksum(std::vector<uint8_t>& datagram, size_t length) {
    uint8_t sum = 0;
    for (size_t at = kPayloadAt + 3; at < kPayloadAt + length - 1; ++at) {
        sum = static_cast<uint8_t>(sum + datagram[at]);
    }
    datagram[kPayloadAt + length - 1] = static_cast<uint8_t>(-sum);
}

bool parseAddress(const std::string& text, sockaddr_in* address) {
    const size_t colon = text.rfind(':');
    *address = sockaddr_in{};
    address->sin_family = AF_INET;
    if (colon == std::string::npos) {
        return false;
    }
    address->sin_port = htons(static_cast<uint16_t>(atoi(text.c_str() + colon + 1)));
    return inet_pton(AF_INET, text.substr(0, colon).c_str(), &address->sin_addr) == 1;
}

// One client, its socket towards the BMC, and the record ids owed to it by sequence
// byte of the Add SEL Entry requests that went on as Get SEL Info.
struct Client {
    sockaddr_in address{};
    files::Fd toBmc;
    std::map<uint8_t, unsigned> owed;
};

} // namespace

BmcRelay::BmcRelay(std::string bmcAddress, Mode relayMode)
    : bmc(std::move(bmcAddress)), mode(relayMode) {}

BmcRelay::~BmcRelay() = default;

std::string BmcRelay::address() const {
    return "127.0.0.1:" + std::to_string(port);
}

bool BmcRelay::start() {
    files::Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (!fd || bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        error = "relay socket: " + files::errorText(errno);
        return false;
    }
    sockaddr_in target{};
    if (!parseAddress(bmc, &target)) {
        error = "not a BMC address: " + bmc;
        return false;
    }
    port = ntohs(addr.sin_port);
    listening = std::move(fd);
    running = true;
    thread = std::make_unique<JoiningThread>([this] { relay(); }, [this] { running = false; });
    return true;
}

void BmcRelay::relay() {
    sockaddr_in target{};
    parseAddress(bmc, &target);
    std::vector<Client> clients;
    std::vector<uint8_t> datagram(kLargest);
    while (running) {
        std::vector<pollfd> fds = {{listening.get(), POLLIN, 0}};
        for (const Client& client : clients) {
            fds.push_back({client.toBmc.get(), POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), 100) <= 0) {
            continue;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            datagram.resize(kLargest);
            ssize_t got = recvfrom(listening.get(), datagram.data(), datagram.size(), 0,
                                   reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (got <= 0) {
                continue;
            }
            datagram.resize(static_cast<size_t>(got));
            Client* client = nullptr;
            for (Client& known : clients) {
                if (known.address.sin_port == from.sin_port &&
                    known.address.sin_addr.s_addr == from.sin_addr.s_addr) {
                    client = &known;
                }
            }
            if (client == nullptr) {
                files::Fd toBmc(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
                if (!toBmc || connect(toBmc.get(), reinterpret_cast<sockaddr*>(&target),
                                      sizeof target) != 0) {
                    continue;
                }
                clients.push_back({from, std::move(toBmc), {}});
                client = &clients.back();
            }
            size_t length = 0;
            if (clearMessage(datagram, &length) &&
                datagram[kPayloadAt + kNetFnAt] >> 2 == kNetFnStorage &&
                datagram[kPayloadAt + kCommandAt] == kAddSelEntry &&
                length >= kDataAt + kRecordSize + 1) {
                const uint8_t* record = &datagram[kPayloadAt + kDataAt];
                if (mode == Mode::LastId || record[2] >= kFirstOemType) {
                    client->owed[datagram[kPayloadAt + kSequenceAt]] =
                        mode == Mode::LastId ? kLastId : record[0] | (record[1] << 8);
                    datagram[kPayloadAt + kCommandAt] = kGetSelInfo;
                    checksum(datagram, length);
                    ++droppedCount;
                }
            }
            send(client->toBmc.get(), datagram.data(), datagram.size(), 0);
        }
        for (size_t i = 1; i < fds.size(); ++i) {
            if ((fds[i].revents & POLLIN) == 0) {
                continue;
            }
            Client& client = clients[i - 1];
            datagram.resize(kLargest);
            ssize_t got = recv(client.toBmc.get(), datagram.data(), datagram.size(), 0);
            if (got <= 0) {
                continue;
            }
            datagram.resize(static_cast<size_t>(got));
            size_t length = 0;
            if (clearMessage(datagram, &length) &&
                datagram[kPayloadAt + kNetFnAt] >> 2 == kNetFnStorageAnswer &&
                datagram[kPayloadAt + kCommandAt] == kGetSelInfo) {
                auto owed = client.owed.find(datagram[kPayloadAt + kSequenceAt]);
                if (owed != client.owed.end()) {
                    // Completion code 0 and the record id, then the checksum.
                    length = kDataAt + 4;
                    datagram.resize(kPayloadAt + length);
                    datagram[14] = static_cast<uint8_t>(length);
                    datagram[15] = 0;
                    datagram[kPayloadAt + kCommandAt] = kAddSelEntry;
                    datagram[kPayloadAt + kDataAt] = 0;
                    datagram[kPayloadAt + kDataAt + 1] = static_cast<uint8_t>(owed->second);
                    datagram[kPayloadAt + kDataAt + 2] = static_cast<uint8_t>(owed->second >> 8);
                    checksum(datagram, length);
                    client.owed.erase(owed);
                }
            }
            sendto(listening.get(), datagram.data(), datagram.size(), 0,
                   reinterpret_cast<const sockaddr*>(&client.address), sizeof client.address);
        }
    }
}
