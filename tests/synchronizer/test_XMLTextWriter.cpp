#include "XMLTextWriter.h"

#include <gtest/gtest.h>

#include <libxml/xmlwriter.h>

#include <clocale>
#include <locale>
#include <memory>
#include <string>
#include <vector>

namespace {

struct FreeBuffer {
    void operator()(xmlBuffer* buffer) const { xmlBufferFree(buffer); }
};

// A writer into memory.
class Writer : public ::testing::Test {
protected:
    // What was written; the writer is flushed by its destructor alone.
    std::string text() {
        writer.reset();
        return std::string(reinterpret_cast<const char*>(xmlBufferContent(buffer.get())),
                           xmlBufferLength(buffer.get()));
    }

    std::unique_ptr<xmlBuffer, FreeBuffer> buffer{xmlBufferCreate()};
    std::unique_ptr<XMLTextWriter> writer =
        std::make_unique<XMLTextWriter>(xmlNewTextWriterMemory(buffer.get(), 0));
};

} // namespace

TEST_F(Writer, WritesADocumentAndFlushesItWhenDestroyed) {
    ASSERT_NE(writer->getWriter(), nullptr);
    // A braced list runs its calls in order.
    std::vector<int> results = {writer->startDocument("1.0", "UTF-8", "yes"),
                                writer->startElement("CIM"),
                                writer->writeAttribute("CIMVERSION", "2.0"),
                                writer->writeElement("NAME", "a<b"),
                                writer->startElement("TEXT"),
                                writer->writeString("x&y"),
                                writer->endElement(),
                                writer->endElement(),
                                writer->endDocument()};
    for (int result : results) {
        EXPECT_GE(result, 0);
    }
    EXPECT_EQ(text(), "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
                      "<CIM CIMVERSION=\"2.0\"><NAME>a&lt;b</NAME><TEXT>x&amp;y</TEXT></CIM>\n");
}

TEST_F(Writer, EmptyDeclarationPartsTakeLibxmlDefaults) {
    writer->startDocument();
    writer->startElement("A");
    writer->endDocument();
    EXPECT_EQ(text(), "<?xml version=\"1.0\"?>\n<A/>\n");
}

TEST_F(Writer, NumbersArePlainDecimal) {
    std::locale previous = std::locale::global(std::locale("C.UTF-8"));
    writer->startElement("R");
    writer->writeAttribute("ZERO", 0L);
    writer->writeAttribute("BIG", 1234567L);
    writer->writeElement("N", -42L);
    writer->writeElement("MIN", -9223372036854775807L - 1);
    writer->endElement();
    std::locale::global(previous);
    EXPECT_EQ(text(),
              "<R ZERO=\"0\" BIG=\"1234567\"><N>-42</N><MIN>-9223372036854775808</MIN></R>");
}

TEST_F(Writer, ErrorsComeBackAsMinusOne) {
    EXPECT_EQ(writer->endElement(), -1);             // nothing open
    EXPECT_EQ(writer->writeAttribute("A", "x"), -1); // no element to carry it
}
