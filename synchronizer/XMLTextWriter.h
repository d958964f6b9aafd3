#ifndef ORVIND_XMLTEXTWRITER_H
#define ORVIND_XMLTEXTWRITER_H

#include <libxml/xmlwriter.h>

#include <string>

// A std::string face on libxml2's text writer. The wrapper owns the writer: its
// destructor flushes and frees it. Every operation hands back libxml2's result
// unchanged (bytes written, or -1 on error).
class XMLTextWriter {
public:
    explicit XMLTextWriter(xmlTextWriter* writer);
    ~XMLTextWriter();

    XMLTextWriter(const XMLTextWriter&) = delete;
    XMLTextWriter& operator=(const XMLTextWriter&) = delete;

    // An empty version, encoding or standalone lets libxml2 apply its default.
    int startDocument(const std::string& version, const std::string& encoding,
                      const std::string& standalone);
    int startDocument();
    int endDocument();
    int startElement(const std::string& name);
    int endElement();
    int writeElement(const std::string& name, const std::string& content);
    // The number in plain decimal, with a leading "-" when negative.
    int writeElement(const std::string& name, long content);
    int writeAttribute(const std::string& name, const std::string& content);
    int writeAttribute(const std::string& name, long content);
    int writeString(const std::string& content);
    int flush();
    xmlTextWriter* getWriter();

private:
    xmlTextWriter* _writer;
};

#endif
