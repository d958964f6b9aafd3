#ifndef ORVIND_PARSER_H
#define ORVIND_PARSER_H

#include "XMLTextReader.h"

#include <cimc/cimc.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class SfcbClient;
class SQLiteDB;

// Walks one delivered CIM-XML document and hands every INSTANCE in it, decoded
// into a CIMC instance, to the store. One parser serves one document; neither the
// store nor the libxml2 reader belongs to it, nor the broker client that makes its CIMC
// objects (without one, no instance is made).
class Parser {
public:
    Parser(SQLiteDB* pDB, XMLTextReader& reader, SfcbClient* client);
    ~Parser();

    // Reads the document to its end, or to its first ERROR element, storing every
    // instance on the way. Outcomes show only in the store and in the log.
    void parseIndicationResp();

    // Logs the instance's object path, namespace, class name and properties.
    void showInstance(CIMCInstance* instance);

private:
    // Each of these is called with the reader on its element's start tag and
    // leaves it on the matching end tag, or at the end of input. An element
    // written as an empty tag counts as closed at once.
    std::pair<uint32_t, std::string> _processError();
    CIMCInstance* _processInstance();
    void _processProperty(CIMCInstance* inst);
    void _processPropertyArray(CIMCInstance* inst);
    void _processReference(CIMCInstance* inst);
    std::string _processValue();
    std::vector<std::string> _processValueArray();
    CIMCArray* _convertArray(const std::string& type, const std::vector<std::string>& data);

    // One step of the walk over the element `element`: advances the reader and
    // tells whether it now stands on a node inside that element, whose kind and
    // name it hands back. False at the element's end tag and at the end of input.
    bool _nextInside(const char* element, int& type, std::string& name);
    // Hands the instance to the store, once.
    void _storeInstance(CIMCInstance* inst);

    SQLiteDB* pDB;
    XMLTextReader reader;
    SfcbClient* client;
};

#endif
