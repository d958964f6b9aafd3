#include "sfcbclient.h"

#include "logger.h"
#include "paths.h"

#include <cimcobjects.h>

#include <cstdlib>

namespace {

// What a step that cannot reach the broker logs: the request was not made.
const CIMCrc noBrokerRc = CIMC_RC_ERR_FAILED;
const char* const noBroker = "no connection to the CIM broker";

const char* const interop = "root/interop";
const char* const pipeUrl = paths::kHandlerDestination;

// The text of a status message for the log.
const char* text(const CIMCStatus& st) {
    const char* t = st.msg != nullptr ? st.msg->ft->getCharPtr(st.msg, nullptr) : nullptr;
    return t != nullptr ? t : "(null)";
}

// Releases the status message so that the status can be used again.
void dropMessage(CIMCStatus& st) {
    if (st.msg != nullptr) {
        st.msg->ft->release(st.msg);
        st.msg = nullptr;
    }
}

// For results that are not examined: only the message needs releasing.
void ignore(CIMCStatus st) {
    dropMessage(st);
}

// With CIMC_chars the value argument is the text itself; the API takes it as
// changeable, so it gets a copy of its own.
void addTextKey(CIMCObjectPath* op, const char* name, std::string value) {
    ignore(op->ft->addKey(op, name, reinterpret_cast<CIMCValue*>(&value[0]), CIMC_chars));
}

void setText(CIMCInstance* inst, const char* name, std::string value) {
    ignore(inst->ft->setProperty(inst, name, reinterpret_cast<CIMCValue*>(&value[0]), CIMC_chars));
}

struct TextFree {
    void operator()(char* text) const { free(text); }
};

// Logs one step's outcome ("connect() rc=0, msg=(null)" and the like) at info, whatever
// it is; the first that fails (11, already there, does not) becomes the result.
void noteStep(SubscriptionResult& result, const char* what, int rc, const char* message) {
    std::string line = std::string(what) + " rc=" + std::to_string(rc) + ", msg=" + message;
    logger.info("%s", line.c_str());
    if (rc != CIMC_RC_OK && rc != CIMC_RC_ERR_ALREADY_EXISTS && result.code == 0) {
        result.code = rc;
        result.message = line;
    }
}

} // namespace

void SfcbClient::EnvRelease::operator()(CIMCEnv* env) const {
    ReleaseCIMCEnv(env);
}

SfcbClient::SfcbClient() {
    SubscriptionResult ignored;
    makeEnvironment(ignored);
}

bool SfcbClient::makeEnvironment(SubscriptionResult& result) {
    if (ce) {
        return true;
    }
    int status = 0;
    char* rawMessage = nullptr;
    ce.reset(NewCIMCEnv("SfcbLocal", 0, &status, &rawMessage));
    std::unique_ptr<char, TextFree> message(rawMessage);
    if (!ce) {
        std::string line =
            "local connect failed call to NewCIMCEnv rc = " + std::to_string(status) +
            " , message = [" + (message ? message.get() : "(null)") + "]";
        logger.info("%s", line.c_str());
        result.code = status != 0 ? status : noBrokerRc;
        result.message = line;
        return false;
    }
    return true;
}

bool SfcbClient::connect(SubscriptionResult& result) {
    if (pclient) {
        return true;
    }
    if (!makeEnvironment(result)) {
        return false;
    }
    CIMCStatus st{};
    pclient.reset(ce->ft->connect(ce.get(), "localhost", nullptr, nullptr, nullptr, nullptr, &st));
    const int rc = st.rc == CIMC_RC_OK && !pclient ? noBrokerRc : st.rc;
    noteStep(result, "connect()", rc, text(st));
    dropMessage(st);
    if (rc != CIMC_RC_OK) {
        pclient.reset();
    }
    return pclient != nullptr;
}

SfcbClient::~SfcbClient() = default;

// The factory builds from the project's own objects, whichever library carries
// the connection: a connector's objects need not give back all their memory,
// and the daemon makes several for every indication it receives.
CIMCArray* SfcbClient::createArray(int maxSize, CIMCType type) {
    if (maxSize < 0) {
        return nullptr;
    }
    if (type == CIMC_string) {
        type = CIMC_chars;
    }
    CIMCStatus st{};
    CIMCArray* array = cimc::newArray(static_cast<CIMCCount>(maxSize), type, &st);
    dropMessage(st);
    return array;
}

CIMCDateTime* SfcbClient::createDateTime(const char* utcTime) {
    CIMCStatus st{};
    CIMCDateTime* dt = cimc::newDateTimeFromChars(utcTime, &st);
    dropMessage(st);
    return dt;
}

CIMCString* SfcbClient::createString(const char* data) {
    return cimc::newString(data);
}

// The instance is only made here, never created in the broker: the broker
// would keep every one of them for good, and the daemon needs none there.
CIMCInstance* SfcbClient::createInstance(const std::string& classname) {
    CIMCStatus st{};
    CimcPtr<CIMCObjectPath> op(cimc::newObjectPath("root/zarn", classname.c_str()));
    if (!op) {
        st.rc = CIMC_RC_ERR_FAILED;
    }
    logger.info("createInstance newobjectpath () rc=%d, msg=%s", st.rc, text(st));
    if (!op) {
        return nullptr;
    }
    CIMCInstance* inst = cimc::newInstance(op.get(), &st);
    logger.info("createInstance newIntance() rc=%d, msg=%s", st.rc, text(st));
    dropMessage(st);
    return inst;
}

CIMCObjectPath* SfcbClient::createFilter(SubscriptionResult& result) {
    static const char* const properties[][2] = {
        {"Query", "SELECT * FROM CIM_ProcessIndication"},
        {"QueryLanguage", "WQL"},
        {"SourceNamespace", "root/zarn"},
    };
    return createDestinationObject("CIM_IndicationFilter", "createFilter ()", properties, 3,
                                   result);
}

CIMCObjectPath* SfcbClient::createHandler(SubscriptionResult& result) {
    static const char* const properties[][2] = {
        {"Name", "orvind"},
        {"Destination", pipeUrl},
    };
    return createDestinationObject("CIM_IndicationHandlerCIMXML", "createHandler ()", properties, 2,
                                   result);
}

// Filter and handler differ only in class, properties and log line: both
// carry the same four keys.
CIMCObjectPath* SfcbClient::createDestinationObject(const char* className, const char* what,
                                                    const char* const properties[][2], int count,
                                                    SubscriptionResult& result) {
    if (!ce) {
        noteStep(result, what, noBrokerRc, noBroker);
        return nullptr;
    }
    CIMCStatus st{};
    CimcPtr<CIMCObjectPath> op(ce->ft->newObjectPath(ce.get(), interop, className, &st));
    if (op) {
        addTextKey(op.get(), "SystemCreationClassName", "CIM_ComputerSystem");
        addTextKey(op.get(), "SystemName", "localhost");
        addTextKey(op.get(), "CreationClassName", className);
        addTextKey(op.get(), "Name", "orvind");
    }
    if (st.rc != CIMC_RC_OK || !op) {
        noteStep(result, what, st.rc != CIMC_RC_OK ? st.rc : noBrokerRc, text(st));
        dropMessage(st);
        return nullptr;
    }
    CimcPtr<CIMCObjectPath> copy(op->ft->clone(op.get(), &st));
    dropMessage(st);
    CimcPtr<CIMCInstance> inst(ce->ft->newInstance(ce.get(), op.get(), nullptr));
    if (inst) {
        for (int i = 0; i < count; ++i) {
            setText(inst.get(), properties[i][0], properties[i][1]);
        }
    }
    if (pclient) {
        CimcPtr<CIMCObjectPath> created(
            pclient->ft->createInstance(pclient.get(), op.get(), inst.get(), &st));
        noteStep(result, what, st.rc, text(st));
    } else {
        noteStep(result, what, noBrokerRc, noBroker);
    }
    dropMessage(st);
    return copy.release();
}

SubscriptionResult SfcbClient::createSubscription() {
    SubscriptionResult result;
    if (!connect(result)) {
        return result;
    }
    CimcPtr<CIMCObjectPath> filter(createFilter(result));
    CimcPtr<CIMCObjectPath> handler(createHandler(result));
    CimcPtr<CIMCObjectPath> op;
    CimcPtr<CIMCInstance> inst;
    if (filter && handler) {
        op.reset(ce->ft->newObjectPath(ce.get(), interop, "CIM_IndicationSubscription", nullptr));
    }
    if (op) {
        CIMCValue value{};
        value.ref = filter.get();
        ignore(op->ft->addKey(op.get(), "Filter", &value, CIMC_ref));
        value.ref = handler.get();
        ignore(op->ft->addKey(op.get(), "Handler", &value, CIMC_ref));
        inst.reset(ce->ft->newInstance(ce.get(), op.get(), nullptr));
        if (inst) {
            value.ref = filter.get();
            ignore(inst->ft->setProperty(inst.get(), "Filter", &value, CIMC_ref));
            value.ref = handler.get();
            ignore(inst->ft->setProperty(inst.get(), "Handler", &value, CIMC_ref));
        }
    }
    if (op && inst) {
        CIMCStatus st{};
        CimcPtr<CIMCObjectPath> created(
            pclient->ft->createInstance(pclient.get(), op.get(), inst.get(), &st));
        noteStep(result, "createSubscription ()", st.rc, text(st));
        dropMessage(st);
    } else {
        // Without a filter or a handler there is nothing to subscribe; the request is
        // not made.
        noteStep(result, "createSubscription ()", noBrokerRc, "no filter or handler to subscribe");
    }
    // The broker may have gone or restarted: the next registration connects afresh.
    if (result.code != 0) {
        pclient.reset();
    }
    return result;
}
