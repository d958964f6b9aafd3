#include "XMLTextWriter.h"

#include <gtest/gtest.h>

#include <libxml/xmlwriter.h>

#include <memory>
#include <string>

// Nothing in the daemon writes XML yet. A document into memory: an empty part of the
// declaration is left to libxml2, text is escaped, numbers are plain decimal, and the
// writer is flushed by its destructor alone. What libxml2 refuses comes back as -1.
TEST(XMLTextWriter, WritesADocumentAndFlushesItWhenDestroyed) {
    std::unique_ptr<xmlBuffer, void (*)(xmlBuffer*)> buffer(xmlBufferCreate(), xmlBufferFree);
    {
        XMLTextWriter writer(xmlNewTextWriterMemory(buffer.get(), 0));
        EXPECT_EQ(writer.endElement(), -1); // nothing open
        EXPECT_GE(writer.startDocument("1.0", "", "yes"), 0);
        EXPECT_GE(writer.startElement("CIM"), 0);
        EXPECT_GE(writer.writeAttribute("BIG", 1234567L), 0);
        EXPECT_GE(writer.writeAttribute("NAME", "a\"b"), 0);
        EXPECT_GE(writer.writeString("x&y"), 0);
        EXPECT_GE(writer.writeElement("MIN", -9223372036854775807L - 1), 0);
        EXPECT_GE(writer.endElement(), 0);
        EXPECT_EQ(xmlBufferLength(buffer.get()), 0);
    }
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(xmlBufferContent(buffer.get()))),
              "<?xml version=\"1.0\" standalone=\"yes\"?>\n<CIM BIG=\"1234567\" "
              "NAME=\"a&quot;b\">x&amp;y<MIN>-9223372036854775808</MIN></CIM>");
}
