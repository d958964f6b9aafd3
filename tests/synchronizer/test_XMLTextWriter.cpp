#include "XMLTextWriter.h"

#include <gtest/gtest.h>

#include <libxml/xmlwriter.h>

#include <memory>
#include <string>
#include <vector>

// A document written into memory: an empty part of the declaration is left to libxml2,
// text is escaped, numbers are plain decimal, and the writer is flushed by its
// destructor alone. What libxml2 refuses comes back as -1.
TEST(XMLTextWriter, WritesADocumentAndFlushesItWhenDestroyed) {
    std::unique_ptr<xmlBuffer, void (*)(xmlBuffer*)> buffer(xmlBufferCreate(), xmlBufferFree);
    {
        XMLTextWriter writer(xmlNewTextWriterMemory(buffer.get(), 0));
        ASSERT_NE(writer.getWriter(), nullptr);
        EXPECT_EQ(writer.writeAttribute("A", "x"), -1); // no element to carry it
        EXPECT_EQ(writer.endElement(), -1);             // nothing open
        // A braced list runs its calls in order.
        std::vector<int> results = {writer.startDocument("1.0", "", "yes"),
                                    writer.startElement("CIM"),
                                    writer.writeAttribute("CIMVERSION", "2.0"),
                                    writer.writeAttribute("BIG", 1234567L),
                                    writer.writeElement("NAME", "a<b"),
                                    writer.startElement("TEXT"),
                                    writer.writeString("x&y"),
                                    writer.endElement(),
                                    writer.writeElement("MIN", -9223372036854775807L - 1),
                                    writer.endElement()};
        for (int result : results) {
            EXPECT_GE(result, 0);
        }
        EXPECT_EQ(xmlBufferLength(buffer.get()), 0);
    }
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(xmlBufferContent(buffer.get()))),
              "<?xml version=\"1.0\" standalone=\"yes\"?>\n<CIM CIMVERSION=\"2.0\" "
              "BIG=\"1234567\"><NAME>a&lt;b</NAME><TEXT>x&amp;y</TEXT><MIN>-9223372036854775808"
              "</MIN></CIM>");
}
