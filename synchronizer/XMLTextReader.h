#ifndef ORVIND_XMLTEXTREADER_H
#define ORVIND_XMLTEXTREADER_H

#include <libxml/xmlreader.h>

#include <memory>
#include <string>

struct XmlReaderFree {
    void operator()(xmlTextReader* reader) const { xmlFreeTextReader(reader); }
};
// The one owner of a libxml2 reader: `XmlReaderPtr raw(xmlReaderForFile(...));`.
using XmlReaderPtr = std::unique_ptr<xmlTextReader, XmlReaderFree>;

// A std::string face on libxml2's pull reader. The wrapper does not own the reader:
// its owner (an XmlReaderPtr) frees it, and copies of the wrapper move over the same
// document. The reader may be absent (xmlReaderForFile failed); libxml2
// then answers -1 to read() and nodeType().
class XMLTextReader {
public:
    explicit XMLTextReader(xmlTextReader* reader);
    ~XMLTextReader();

    // 1 when the reader moved to the next node, 0 at the end of the document, -1 on error.
    int read();
    // libxml2's node kind: 1 element, 3 text, 15 end of element, ...
    int nodeType();
    // The qualified name of the current node; empty when the reader has none.
    std::string nodeName();
    // The named attribute of the current element; empty when it is not there.
    std::string getAttribute(const std::string& name);
    // The text of the current node; empty when the node has no value.
    std::string nodeValue();
    // True when the current element is written as an empty tag (<VALUE/>): the
    // reader then delivers no end element for it.
    bool isEmptyElement();
    xmlTextReader* getReader();

private:
    xmlTextReader* _reader;
};

#endif
