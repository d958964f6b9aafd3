#include "sfcbclient.h"

#include "logger.h"
#include "paths.h"

#include <cimcobjects.h>

#include <cstdlib>

SfcbClient* SfcbClient::pInstance = nullptr;

namespace {

// What a step that cannot reach the broker logs: the request was not made.
const CIMCrc noBrokerRc = CIMC_RC_ERR_FAILED;
const char* noBroker = "no connection to the CIM broker";

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

} // namespace

SfcbClient* SfcbClient::getSfcbClient() {
    if (pInstance == nullptr) {
        pInstance = new SfcbClient();
    }
    return pInstance;
}

void SfcbClient::EnvRelease::operator()(CIMCEnv* env) const {
    ReleaseCIMCEnv(env);
}

SfcbClient::SfcbClient() {
    int status = 0;
    char* rawMessage = nullptr;
    ce.reset(NewCIMCEnv("SfcbLocal", 0, &status, &rawMessage));
    std::unique_ptr<char, TextFree> message(rawMessage);
    if (!ce) {
        logger.info("local connect failed call to NewCIMCEnv rc = %d , message = [%s]", status,
                    message ? message.get() : "(null)");
        return;
    }
    CIMCStatus st{};
    pclient.reset(ce->ft->connect(ce.get(), "localhost", nullptr, nullptr, nullptr, nullptr, &st));
    logger.info("connect() rc=%d, msg=%s", st.rc, text(st));
    dropMessage(st);
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

CIMCObjectPath* SfcbClient::createFilter() {
    static const char* const properties[][2] = {
        {"Query", "SELECT * FROM CIM_ProcessIndication"},
        {"QueryLanguage", "WQL"},
        {"SourceNamespace", "root/zarn"},
    };
    return createDestinationObject("CIM_IndicationFilter", "createFilter", properties, 3);
}

CIMCObjectPath* SfcbClient::createHandler() {
    static const char* const properties[][2] = {
        {"Name", "orvind"},
        {"Destination", pipeUrl},
    };
    return createDestinationObject("CIM_IndicationHandlerCIMXML", "createHandler", properties, 2);
}

// Filter and handler differ only in class, properties and log line: both
// carry the same four keys.
CIMCObjectPath* SfcbClient::createDestinationObject(const char* className, const char* what,
                                                    const char* const properties[][2], int count) {
    if (!ce) {
        logger.info("%s () rc=%d, msg=%s", what, noBrokerRc, noBroker);
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
        logger.info("%s () rc=%d, msg=%s", what, st.rc, text(st));
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
        logger.info("%s () rc=%d, msg=%s", what, st.rc, text(st));
    } else {
        logger.info("%s () rc=%d, msg=%s", what, noBrokerRc, noBroker);
    }
    dropMessage(st);
    return copy.release();
}

void SfcbClient::createSubscription() {
    CimcPtr<CIMCObjectPath> filter(createFilter());
    CimcPtr<CIMCObjectPath> handler(createHandler());
    CimcPtr<CIMCObjectPath> op;
    CimcPtr<CIMCInstance> inst;
    if (ce && filter && handler) {
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
    if (op && inst && pclient) {
        CIMCStatus st{};
        CimcPtr<CIMCObjectPath> created(
            pclient->ft->createInstance(pclient.get(), op.get(), inst.get(), &st));
        logger.info("createSubscription () rc=%d, msg=%s", st.rc, text(st));
        dropMessage(st);
    } else {
        // Without a filter, a handler or a connection there is nothing to
        // subscribe; the request is not made.
        logger.info("createSubscription () rc=%d, msg=%s", noBrokerRc,
                    !pclient ? noBroker : "no filter or handler to subscribe");
    }
}
