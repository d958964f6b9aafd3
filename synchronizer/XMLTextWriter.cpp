#include "XMLTextWriter.h"

#include <locale>
#include <sstream>

namespace {

const xmlChar* xml(const std::string& text) {
    return reinterpret_cast<const xmlChar*>(text.c_str());
}

// Empty means "not given", so that libxml2 applies its default.
const char* optional(const std::string& text) {
    return text.empty() ? nullptr : text.c_str();
}

std::string decimal(long number) {
    std::ostringstream out;
    out.imbue(std::locale::classic()); // no grouping, whatever the global locale says
    out << number;
    return out.str();
}

} // namespace

XMLTextWriter::XMLTextWriter(xmlTextWriter* writer) : _writer(writer) {}

XMLTextWriter::~XMLTextWriter() {
    if (_writer != nullptr) {
        flush();
        xmlFreeTextWriter(_writer);
    }
}

int XMLTextWriter::startDocument(const std::string& version, const std::string& encoding,
                                 const std::string& standalone) {
    return xmlTextWriterStartDocument(_writer, optional(version), optional(encoding),
                                      optional(standalone));
}

int XMLTextWriter::startDocument() {
    return startDocument("", "", "");
}

int XMLTextWriter::endDocument() {
    return xmlTextWriterEndDocument(_writer);
}

int XMLTextWriter::startElement(const std::string& name) {
    return xmlTextWriterStartElement(_writer, xml(name));
}

int XMLTextWriter::endElement() {
    return xmlTextWriterEndElement(_writer);
}

int XMLTextWriter::writeElement(const std::string& name, const std::string& content) {
    return xmlTextWriterWriteElement(_writer, xml(name), xml(content));
}

int XMLTextWriter::writeElement(const std::string& name, long content) {
    return writeElement(name, decimal(content));
}

int XMLTextWriter::writeAttribute(const std::string& name, const std::string& content) {
    return xmlTextWriterWriteAttribute(_writer, xml(name), xml(content));
}

int XMLTextWriter::writeAttribute(const std::string& name, long content) {
    return writeAttribute(name, decimal(content));
}

int XMLTextWriter::writeString(const std::string& content) {
    return xmlTextWriterWriteString(_writer, xml(content));
}

int XMLTextWriter::flush() {
    return xmlTextWriterFlush(_writer);
}

xmlTextWriter* XMLTextWriter::getWriter() {
    return _writer;
}
