#ifndef ORVIND_SFCBCLIENT_H
#define ORVIND_SFCBCLIENT_H

#include "values.h"

#include <cimc/cimc.h>

#include <memory>
#include <string>

// The daemon's one gateway to the local CIM broker: owns the CIMC
// environment and the connection, builds the CIMC objects the parser needs
// (from the project's own objects, with or without a connection) and
// registers the indication subscription at start-up through the connection.
// Every object a create* operation returns belongs to the caller, who
// releases it.
class SfcbClient {
public:
    // The single instance, made (and connected) on the first call.
    static SfcbClient* getSfcbClient();
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
    // copy of the path it built (null when the path could not be made).
    CIMCObjectPath* createFilter();
    CIMCObjectPath* createHandler();
    // Registers filter, handler and the subscription joining them. Reports
    // only through the log; a refusal (11 when they are left from an
    // earlier run) is logged and start-up goes on.
    void createSubscription();

private:
    SfcbClient();
    CIMCObjectPath* createDestinationObject(const char* className, const char* what,
                                            const char* const properties[][2], int count);

    struct EnvRelease {
        void operator()(CIMCEnv* env) const;
    };
    // The connection goes before the environment it came from.
    std::unique_ptr<CIMCEnv, EnvRelease> ce;
    CimcPtr<CIMCClient> pclient;
    static SfcbClient* pInstance;
};

#endif
