#include "XMLTextReader.h"

namespace {

std::string copyOf(const xmlChar* text) {
    return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text));
}

} // namespace

XMLTextReader::XMLTextReader(xmlTextReader* reader) : _reader(reader) {}

XMLTextReader::~XMLTextReader() {}

int XMLTextReader::read() {
    return xmlTextReaderRead(_reader);
}

int XMLTextReader::nodeType() {
    return xmlTextReaderNodeType(_reader);
}

std::string XMLTextReader::nodeName() {
    return copyOf(xmlTextReaderConstName(_reader));
}

std::string XMLTextReader::getAttribute(const std::string& name) {
    xmlChar* value =
        xmlTextReaderGetAttribute(_reader, reinterpret_cast<const xmlChar*>(name.c_str()));
    std::string result = copyOf(value);
    xmlFree(value);
    return result;
}

std::string XMLTextReader::nodeValue() {
    return copyOf(xmlTextReaderConstValue(_reader));
}

bool XMLTextReader::isEmptyElement() {
    return xmlTextReaderIsEmptyElement(_reader) == 1;
}

xmlTextReader* XMLTextReader::getReader() {
    return _reader;
}
