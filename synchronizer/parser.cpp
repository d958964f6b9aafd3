#include "parser.h"

#include "logger.h"
#include "sfcbclient.h"
#include "sqlitedb.h"
#include "values.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

// libxml2's reader node kinds that the walk acts on.
const int kStartElement = 1;
const int kText = 3;
const int kEndElement = 15;

// The recognised CIM type names and their type codes.
struct TypeName {
    const char* name;
    CIMCType code;
};
const TypeName kTypeNames[] = {
    {"boolean", CIMC_boolean}, {"string", CIMC_string},     {"uint8", CIMC_uint8},
    {"sint8", CIMC_sint8},     {"uint16", CIMC_uint16},     {"sint16", CIMC_sint16},
    {"uint32", CIMC_uint32},   {"sint32", CIMC_sint32},     {"uint64", CIMC_uint64},
    {"sint64", CIMC_sint64},   {"datetime", CIMC_dateTime},
};

// The code of a type name, CIMC_null when the name is not one of ours.
CIMCType typeCode(const std::string& name) {
    for (const TypeName& type : kTypeNames) {
        if (name == type.name) {
            return type.code;
        }
    }
    return CIMC_null;
}

bool isSigned(CIMCType code) {
    return code == CIMC_sint8 || code == CIMC_sint16 || code == CIMC_sint32 || code == CIMC_sint64;
}

bool isInteger(CIMCType code) {
    return code == CIMC_uint8 || code == CIMC_uint16 || code == CIMC_uint32 ||
           code == CIMC_uint64 || isSigned(code);
}

CIMCValue emptyValue() {
    CIMCValue value;
    memset(&value, 0, sizeof value);
    return value;
}

// Puts the low-order bits of a number into the member of the given width.
void setInteger(CIMCValue& value, CIMCType code, unsigned long long bits) {
    switch (code) {
    case CIMC_uint8:
        value.uint8 = static_cast<CIMCUint8>(bits);
        break;
    case CIMC_sint8:
        value.sint8 = static_cast<CIMCSint8>(static_cast<CIMCUint8>(bits));
        break;
    case CIMC_uint16:
        value.uint16 = static_cast<CIMCUint16>(bits);
        break;
    case CIMC_sint16:
        value.sint16 = static_cast<CIMCSint16>(static_cast<CIMCUint16>(bits));
        break;
    case CIMC_uint32:
        value.uint32 = static_cast<CIMCUint32>(bits);
        break;
    case CIMC_sint32:
        value.sint32 = static_cast<CIMCSint32>(static_cast<CIMCUint32>(bits));
        break;
    case CIMC_uint64:
        value.uint64 = bits;
        break;
    case CIMC_sint64:
        value.sint64 = static_cast<CIMCSint64>(bits);
        break;
    default:
        break;
    }
}

// A scalar number: strtoul for every width and sign, cut to the width.
CIMCValue scalarInteger(CIMCType code, const std::string& text) {
    CIMCValue value = emptyValue();
    setInteger(value, code, strtoul(text.c_str(), nullptr, 10));
    return value;
}

// An array element: unsigned types as strtoul/strtoull, signed ones as
// strtol/strtoll (clamped to 64 bits), then cut to the width.
CIMCValue elementInteger(CIMCType code, const std::string& text) {
    CIMCValue value = emptyValue();
    unsigned long long bits;
    if (code == CIMC_sint64) {
        bits = static_cast<unsigned long long>(strtoll(text.c_str(), nullptr, 10));
    } else if (isSigned(code)) {
        bits = static_cast<unsigned long long>(strtol(text.c_str(), nullptr, 10));
    } else if (code == CIMC_uint64) {
        bits = strtoull(text.c_str(), nullptr, 10);
    } else {
        bits = strtoul(text.c_str(), nullptr, 10);
    }
    setInteger(value, code, bits);
    return value;
}

CIMCValue booleanValue(const std::string& text) {
    CIMCValue value = emptyValue();
    value.boolean = text == "TRUE" ? 1 : 0;
    return value;
}

// A property the document carries without any value is NULL on the instance,
// as the class's unset properties are; the store tells it from a
// property the document does not carry at all. A value already set under the
// same name stays.
void setNullUnlessSet(CIMCInstance* inst, const std::string& name, CIMCType code) {
    CIMCData have = inst->ft->getProperty(inst, name.c_str(), nullptr);
    if (have.state & CIMC_notFound) {
        inst->ft->setProperty(inst, name.c_str(), nullptr, code);
    }
}

} // namespace

Parser::Parser(SQLiteDB* store, XMLTextReader& walker, SfcbClient* factory)
    : pDB(store), reader(walker), client(factory) {}

Parser::~Parser() {}

bool Parser::_nextInside(const char* element, int& type, std::string& name) {
    if (reader.read() != 1) {
        return false;
    }
    type = reader.nodeType();
    name = reader.nodeName();
    return !(type == kEndElement && name == element);
}

void Parser::parseIndicationResp() {
    while (reader.read() == 1) {
        if (reader.nodeType() != kStartElement) {
            continue;
        }
        std::string name = reader.nodeName();
        if (name == "ERROR") {
            std::pair<uint32_t, std::string> error = _processError();
            logger.info("error code : %d, description : %s", static_cast<int32_t>(error.first),
                        error.second.c_str());
            return;
        }
        if (name == "INSTANCE") {
            CimcPtr<CIMCInstance> instance(_processInstance());
            // No instance (the factory could not make one): the element has been
            // passed over with its properties, and there is nothing to store.
            if (instance) {
                _storeInstance(instance.get());
            }
        }
    }
}

void Parser::_storeInstance(CIMCInstance* inst) {
    // Once: in the daemon the store adds the row to the intake's group, whose commit
    // the intake retries; the store logs any failure itself.
    pDB->storeIndication(inst);
}

std::pair<uint32_t, std::string> Parser::_processError() {
    std::string code = reader.getAttribute("CODE");
    std::string description = reader.getAttribute("DESCRIPTION");
    if (!reader.isEmptyElement()) {
        int type;
        std::string name;
        while (_nextInside("ERROR", type, name)) {
        }
    }
    uint32_t number = static_cast<uint32_t>(strtoul(code.c_str(), nullptr, 10));
    return {number, description};
}

CIMCInstance* Parser::_processInstance() {
    std::string className = reader.getAttribute("CLASSNAME");
    CimcPtr<CIMCInstance> instance(client ? client->createInstance(className.c_str()) : nullptr);
    if (reader.isEmptyElement()) {
        return instance.release();
    }
    int type;
    std::string name;
    while (_nextInside("INSTANCE", type, name)) {
        if (!instance || type != kStartElement) {
            continue;
        }
        if (name == "PROPERTY") {
            _processProperty(instance.get());
        }
        if (name == "PROPERTY.ARRAY") {
            _processPropertyArray(instance.get());
        }
        if (name == "PROPERTY.REFERENCE") {
            _processReference(instance.get());
        }
    }
    return instance.release();
}

void Parser::_processProperty(CIMCInstance* inst) {
    std::string propertyName = reader.getAttribute("NAME");
    CIMCType code = typeCode(reader.getAttribute("TYPE"));
    if (reader.isEmptyElement()) {
        setNullUnlessSet(inst, propertyName, code);
        return;
    }
    bool carriesValue = false;
    int type;
    std::string name;
    while (_nextInside("PROPERTY", type, name)) {
        if (type != kStartElement || name != "VALUE") {
            continue;
        }
        carriesValue = true;
        std::string text = _processValue();
        CIMCValue value = emptyValue();
        // Strings and date-times are copied by setProperty; ours go afterwards.
        CimcPtr<CIMCString> string;
        CimcPtr<CIMCDateTime> dateTime;
        if (code == CIMC_boolean) {
            value = booleanValue(text);
        } else if (isInteger(code)) {
            value = scalarInteger(code, text);
        } else if (code == CIMC_string || code == CIMC_dateTime) {
            if (client == nullptr) {
                continue;
            }
            if (code == CIMC_string) {
                string.reset(client->createString(text.c_str()));
                value.string = string.get();
            } else {
                dateTime.reset(client->createDateTime(text.c_str()));
                value.dateTime = dateTime.get();
            }
            // The factory made nothing (a date-time text it refuses, or no
            // broker): the property is not set.
            if (!string && !dateTime) {
                continue;
            }
        } else {
            continue; // a type we do not decode: the text is dropped
        }
        inst->ft->setProperty(inst, propertyName.c_str(), &value, code);
    }
    // A value we do not decode sets nothing; only an element without any VALUE is NULL.
    if (!carriesValue) {
        setNullUnlessSet(inst, propertyName, code);
    }
}

void Parser::_processPropertyArray(CIMCInstance* inst) {
    std::string propertyName = reader.getAttribute("NAME");
    std::string typeName = reader.getAttribute("TYPE");
    if (reader.isEmptyElement()) {
        setNullUnlessSet(inst, propertyName, CIMC_ARRAY);
        return;
    }
    bool carriesValue = false;
    int type;
    std::string name;
    while (_nextInside("PROPERTY.ARRAY", type, name)) {
        if (type != kStartElement || name != "VALUE.ARRAY") {
            continue;
        }
        carriesValue = true;
        std::vector<std::string> texts = _processValueArray();
        // Copied by setProperty; ours goes afterwards. No array: nothing is set.
        CimcPtr<CIMCArray> array(_convertArray(typeName, texts));
        if (!array) {
            continue;
        }
        CIMCValue value = emptyValue();
        value.array = array.get();
        inst->ft->setProperty(inst, propertyName.c_str(), &value, CIMC_ARRAY);
    }
    if (!carriesValue) {
        setNullUnlessSet(inst, propertyName, CIMC_ARRAY);
    }
}

void Parser::_processReference(CIMCInstance* inst) {
    std::string propertyName = reader.getAttribute("NAME");
    bool carriesValue = false;
    if (!reader.isEmptyElement()) {
        int type;
        std::string name;
        while (_nextInside("PROPERTY.REFERENCE", type, name)) {
            carriesValue = carriesValue || (type == kStartElement && name == "VALUE.REFERENCE");
        }
    }
    // References are not decoded: one with a value sets nothing, one without is NULL.
    if (!carriesValue) {
        setNullUnlessSet(inst, propertyName, CIMC_ref);
    }
}

std::string Parser::_processValue() {
    std::string text;
    if (reader.isEmptyElement()) {
        return text;
    }
    int type;
    std::string name;
    while (_nextInside("VALUE", type, name)) {
        // Split text keeps only its last piece; CDATA and white space are ignored.
        if (type == kText) {
            text = reader.nodeValue();
        }
    }
    return text;
}

std::vector<std::string> Parser::_processValueArray() {
    std::vector<std::string> texts;
    if (reader.isEmptyElement()) {
        return texts;
    }
    int type;
    std::string name;
    while (_nextInside("VALUE.ARRAY", type, name)) {
        if (type == kStartElement && name == "VALUE") {
            texts.push_back(_processValue());
        }
    }
    return texts;
}

CIMCArray* Parser::_convertArray(const std::string& type, const std::vector<std::string>& data) {
    // Only these element types are decoded; every other name, datetime
    // included, gives string elements holding the raw texts.
    CIMCType code = typeCode(type);
    if (code == CIMC_null || code == CIMC_dateTime) {
        code = CIMC_string;
    }
    if (client == nullptr) {
        return nullptr;
    }
    CIMCArray* array = client->createArray(static_cast<int>(data.size()), code);
    if (array == nullptr) {
        return nullptr;
    }
    for (size_t i = 0; i < data.size(); ++i) {
        CIMCValue value = emptyValue();
        // Copied by setElementAt; ours goes afterwards.
        CimcPtr<CIMCString> string;
        if (code == CIMC_boolean) {
            value = booleanValue(data[i]);
        } else if (code == CIMC_string) {
            string.reset(client->createString(data[i].c_str()));
            if (!string) {
                continue; // the element stays empty
            }
            value.string = string.get();
        } else {
            value = elementInteger(code, data[i]);
        }
        array->ft->setElementAt(array, static_cast<CIMCCount>(i), &value, code);
    }
    return array;
}

void Parser::showInstance(CIMCInstance* instance) {
    if (instance == nullptr) {
        return;
    }
    // Released in the reverse order of these declarations: class name,
    // namespace, path text, path.
    CimcPtr<CIMCObjectPath> path(instance->ft->getObjectPath(instance, nullptr));
    CimcPtr<CIMCString> pathText(path ? path->ft->toString(path.get(), nullptr) : nullptr);
    CimcPtr<CIMCString> nameSpace(path ? path->ft->getNameSpace(path.get(), nullptr) : nullptr);
    CimcPtr<CIMCString> className(path ? path->ft->getClassName(path.get(), nullptr) : nullptr);
    int32_t count = static_cast<int32_t>(instance->ft->getPropertyCount(instance, nullptr));

    if (pathText && pathText->hdl != nullptr) {
        logger.info("objectpath=%s\n", stringText(pathText.get()));
    }
    if (nameSpace && nameSpace->hdl != nullptr) {
        logger.info("namespace=%s\n", stringText(nameSpace.get()));
    }
    if (className && className->hdl != nullptr) {
        logger.info("classname=%s\n", stringText(className.get()));
    }
    if (count == 0) {
        return;
    }
    logger.info("properties:\n");
    for (int32_t i = 0; i < count; ++i) {
        CIMCString* rawName = nullptr;
        CIMCData data =
            instance->ft->getPropertyAt(instance, static_cast<unsigned>(i), &rawName, nullptr);
        CimcPtr<CIMCString> propertyName(rawName);
        std::string text = valueText(data.type, &data.value);
        logger.info("value state is %d, %s=%s\n", data.state, stringText(propertyName.get()),
                    text.c_str());
    }
}
