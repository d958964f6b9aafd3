#include "XMLTextWriter.h"

#include <gtest/gtest.h>

#include <libxml/xmlwriter.h>

#include <clocale>
#include <locale>
#include <memory>
#include <string>

namespace {

struct FreeBuffer {
    void operator()(xmlBuffer* buffer) const { xmlBufferFree(buffer); }
};
using BufferPtr = std::unique_ptr<xmlBuffer, FreeBuffer>;

std::string textOf(xmlBuffer* buffer) {
    return std::string(reinterpret_cast<const char*>(xmlBufferContent(buffer)),
                       xmlBufferLength(buffer));
}

} // namespace

TEST(XMLTextWriter, WritesADocumentAndFlushesItWhenDestroyed) {
    BufferPtr buffer(xmlBufferCreate());
    {
        XMLTextWriter writer(xmlNewTextWriterMemory(buffer.get(), 0));
        ASSERT_NE(writer.getWriter(), nullptr);
        EXPECT_GE(writer.startDocument("1.0", "UTF-8", "yes"), 0);
        EXPECT_GE(writer.startElement("CIM"), 0);
        EXPECT_GE(writer.writeAttribute("CIMVERSION", "2.0"), 0);
        EXPECT_GE(writer.writeElement("NAME", "a<b"), 0);
        EXPECT_GE(writer.startElement("TEXT"), 0);
        EXPECT_GE(writer.writeString("x&y"), 0);
        EXPECT_GE(writer.endElement(), 0);
        EXPECT_GE(writer.endElement(), 0);
        EXPECT_GE(writer.endDocument(), 0);
        // No explicit flush: the destructor flushes and frees the writer.
    }
    EXPECT_EQ(textOf(buffer.get()),
              "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
              "<CIM CIMVERSION=\"2.0\"><NAME>a&lt;b</NAME>"
              "<TEXT>x&amp;y</TEXT></CIM>\n");
}

TEST(XMLTextWriter, EmptyDeclarationPartsTakeLibxmlDefaults) {
    BufferPtr buffer(xmlBufferCreate());
    {
        XMLTextWriter writer(xmlNewTextWriterMemory(buffer.get(), 0));
        writer.startDocument();
        writer.startElement("A");
        writer.endDocument();
    }
    EXPECT_EQ(textOf(buffer.get()), "<?xml version=\"1.0\"?>\n<A/>\n");
}

TEST(XMLTextWriter, NumbersArePlainDecimal) {
    std::locale previous = std::locale::global(std::locale("C.UTF-8"));
    BufferPtr buffer(xmlBufferCreate());
    {
        XMLTextWriter writer(xmlNewTextWriterMemory(buffer.get(), 0));
        writer.startElement("R");
        writer.writeAttribute("ZERO", 0L);
        writer.writeAttribute("BIG", 1234567L);
        writer.writeElement("N", -42L);
        writer.writeElement("MIN", -9223372036854775807L - 1);
        writer.endElement();
    }
    std::locale::global(previous);
    EXPECT_EQ(textOf(buffer.get()), "<R ZERO=\"0\" BIG=\"1234567\"><N>-42</N>"
                                    "<MIN>-9223372036854775808</MIN></R>");
}

TEST(XMLTextWriter, ErrorsComeBackAsMinusOne) {
    BufferPtr buffer(xmlBufferCreate());
    XMLTextWriter writer(xmlNewTextWriterMemory(buffer.get(), 0));
    EXPECT_EQ(writer.endElement(), -1);             // nothing open
    EXPECT_EQ(writer.writeAttribute("A", "x"), -1); // no element to carry it
}
