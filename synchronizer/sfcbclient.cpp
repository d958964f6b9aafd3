#include "sfcbclient.h"

#include "logger.h"
#include "paths.h"

#include <cimcobjects.h>

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

template <typename T> void release(T* object) {
    if (object != nullptr) {
        ignore(object->ft->release(object));
    }
}

} // namespace

SfcbClient* SfcbClient::getSfcbClient() {
    if (pInstance == nullptr) {
        pInstance = new SfcbClient();
    }
    return pInstance;
}

SfcbClient::SfcbClient() : ce(nullptr), pclient(nullptr), status(0), msg(nullptr) {
    ce = NewCIMCEnv("SfcbLocal", 0, &status, &msg);
    if (ce == nullptr) {
        logger.info("local connect failed call to NewCIMCEnv rc = %d , message = [%s]", status,
                    msg != nullptr ? msg : "(null)");
        return;
    }
    CIMCStatus st{};
    pclient = ce->ft->connect(ce, "localhost", nullptr, nullptr, nullptr, nullptr, &st);
    logger.info("connect() rc=%d, msg=%s", st.rc, text(st));
    dropMessage(st);
}

SfcbClient::~SfcbClient() {
    release(pclient);
    if (ce != nullptr) {
        ReleaseCIMCEnv(ce);
    }
}

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
CIMCInstance* SfcbClient::createInstance(std::string classname) {
    CIMCStatus st{};
    CIMCObjectPath* op = cimc::newObjectPath("root/zarn", classname.c_str());
    if (op == nullptr) {
        st.rc = CIMC_RC_ERR_FAILED;
    }
    logger.info("createInstance newobjectpath () rc=%d, msg=%s", st.rc, text(st));
    if (op == nullptr) {
        return nullptr;
    }
    CIMCInstance* inst = cimc::newInstance(op, &st);
    logger.info("createInstance newIntance() rc=%d, msg=%s", st.rc, text(st));
    dropMessage(st);
    release(op);
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
    if (ce == nullptr) {
        logger.info("%s () rc=%d, msg=%s", what, noBrokerRc, noBroker);
        return nullptr;
    }
    CIMCStatus st{};
    CIMCObjectPath* op = ce->ft->newObjectPath(ce, interop, className, &st);
    if (op != nullptr) {
        addTextKey(op, "SystemCreationClassName", "CIM_ComputerSystem");
        addTextKey(op, "SystemName", "localhost");
        addTextKey(op, "CreationClassName", className);
        addTextKey(op, "Name", "orvind");
    }
    CIMCObjectPath* copy = nullptr;
    CIMCInstance* inst = nullptr;
    CIMCObjectPath* created = nullptr;
    if (st.rc != CIMC_RC_OK || op == nullptr) {
        logger.info("%s () rc=%d, msg=%s", what, st.rc, text(st));
    } else {
        copy = op->ft->clone(op, &st);
        dropMessage(st);
        inst = ce->ft->newInstance(ce, op, nullptr);
        if (inst != nullptr) {
            for (int i = 0; i < count; ++i) {
                setText(inst, properties[i][0], properties[i][1]);
            }
        }
        if (pclient != nullptr) {
            created = pclient->ft->createInstance(pclient, op, inst, &st);
            logger.info("%s () rc=%d, msg=%s", what, st.rc, text(st));
        } else {
            logger.info("%s () rc=%d, msg=%s", what, noBrokerRc, noBroker);
        }
    }
    dropMessage(st);
    release(created);
    release(op);
    release(inst);
    return copy;
}

void SfcbClient::createSubscription() {
    CIMCObjectPath* filter = createFilter();
    CIMCObjectPath* handler = createHandler();
    CIMCObjectPath* op = nullptr;
    CIMCInstance* inst = nullptr;
    CIMCObjectPath* created = nullptr;
    if (ce != nullptr && filter != nullptr && handler != nullptr) {
        op = ce->ft->newObjectPath(ce, interop, "CIM_IndicationSubscription", nullptr);
    }
    if (op != nullptr) {
        CIMCValue value{};
        value.ref = filter;
        ignore(op->ft->addKey(op, "Filter", &value, CIMC_ref));
        value.ref = handler;
        ignore(op->ft->addKey(op, "Handler", &value, CIMC_ref));
        inst = ce->ft->newInstance(ce, op, nullptr);
        if (inst != nullptr) {
            value.ref = filter;
            ignore(inst->ft->setProperty(inst, "Filter", &value, CIMC_ref));
            value.ref = handler;
            ignore(inst->ft->setProperty(inst, "Handler", &value, CIMC_ref));
        }
    }
    if (op != nullptr && inst != nullptr && pclient != nullptr) {
        CIMCStatus st{};
        created = pclient->ft->createInstance(pclient, op, inst, &st);
        logger.info("createSubscription () rc=%d, msg=%s", st.rc, text(st));
        dropMessage(st);
    } else {
        // Without a filter, a handler or a connection there is nothing to
        // subscribe; the request is not made.
        logger.info("createSubscription () rc=%d, msg=%s", noBrokerRc,
                    pclient == nullptr ? noBroker : "no filter or handler to subscribe");
    }
    release(op);
    release(inst);
    release(created);
    release(filter);
    release(handler);
}
