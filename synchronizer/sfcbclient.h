#ifndef ORVIND_SFCBCLIENT_H
#define ORVIND_SFCBCLIENT_H

#include "values.h"

#include <cimc/cimc.h>

#include <memory>
#include <string>

// What a registration achieved: code 0 when filter, handler and subscription all exist in
// the broker afterwards (made now, or refused with 11 because they were there already);
// otherwise the broker's code for the first step that failed, and `message` naming that
// step and the broker's answer, as its log line does: "createFilter () rc=1, msg=...".
struct SubscriptionResult {
    int code = 0;
    std::string message;
};

// The daemon's one gateway to the local CIM broker: owns the CIMC
// environment and the connection, builds the CIMC objects the parser needs
// (from the project's own objects, with or without a connection) and
// registers the indication subscription at start-up through the connection.
// Every object a create* operation returns belongs to the caller, who
// releases it.
class SfcbClient {
public:
    // Makes the CIMC environment; the connection is made by the first registration. The
    // daemon makes one at start-up, before any other thread starts, and hands it to the
    // intake (for the parser's objects) and to the subscriber.
    SfcbClient();
    ~SfcbClient();

    SfcbClient(const SfcbClient&) = delete;
    SfcbClient& operator=(const SfcbClient&) = delete;

    // An array of maxSize elements; a CIMC_string element type is asked for
    // as CIMC_chars. Null on failure.
    CIMCArray* createArray(int maxSize, CIMCType type);
    // A date-time from its 25-character CIM text; null when the text is not one.
    CIMCDateTime* createDateTime(const char* utcTime);
    CIMCString* createString(const char* data);
    // An empty instance of the class in "root/zarn", made locally; nothing
    // is sent to the broker.
    CIMCInstance* createInstance(const std::string& classname);

    // Register the filter and the handler in "root/interop"; each returns a
    // copy of the path it built (null when the path could not be made) and notes a
    // failure in `result` unless one is noted already.
    CIMCObjectPath* createFilter(SubscriptionResult& result);
    CIMCObjectPath* createHandler(SubscriptionResult& result);
    // Registers filter, handler and the subscription joining them, connecting first
    // when there is no connection; each step's outcome is logged. A refusal with 11
    // (left from an earlier run) counts as made. After a failure the connection is
    // dropped, so that the next call connects again (the broker may have restarted).
    // Called from one thread at a time.
    SubscriptionResult createSubscription();

private:
    bool makeEnvironment(SubscriptionResult& result);
    bool connect(SubscriptionResult& result);
    CIMCObjectPath* createDestinationObject(const char* className, const char* what,
                                            const char* const properties[][2], int count,
                                            SubscriptionResult& result);

    struct EnvRelease {
        void operator()(CIMCEnv* env) const;
    };
    // The connection goes before the environment it came from.
    std::unique_ptr<CIMCEnv, EnvRelease> ce;
    CimcPtr<CIMCClient> pclient;
};

#endif
