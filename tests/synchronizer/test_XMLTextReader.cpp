#include "XMLTextReader.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <libxml/xmlreader.h>

#include <memory>
#include <string>

namespace {

const std::string kSample = ORVIND_TEST_DATA "/parser/reader.xml";

struct FreeReader {
    void operator()(xmlTextReader* reader) const { xmlFreeTextReader(reader); }
};
using ReaderPtr = std::unique_ptr<xmlTextReader, FreeReader>;

ReaderPtr openSample() {
    return ReaderPtr(xmlReaderForFile(kSample.c_str(), "utf-8", 0));
}

// Reads on until the next start element of the given name; false at the end.
bool advanceTo(XMLTextReader& reader, const std::string& name) {
    while (reader.read() == 1) {
        if (reader.nodeType() == XML_READER_TYPE_ELEMENT && reader.nodeName() == name) {
            return true;
        }
    }
    return false;
}

} // namespace

TEST(XMLTextReader, WalksNodesWithTheirKindsNamesAndTexts) {
    ReaderPtr raw = openSample();
    ASSERT_TRUE(raw);
    XMLTextReader reader(raw.get());
    EXPECT_EQ(reader.getReader(), raw.get());

    ASSERT_EQ(reader.read(), 1);
    EXPECT_EQ(reader.nodeType(), 1);
    EXPECT_EQ(reader.nodeName(), "ROOT");

    ASSERT_TRUE(advanceTo(reader, "ITEM"));
    ASSERT_EQ(reader.read(), 1);
    EXPECT_EQ(reader.nodeType(), 3);
    EXPECT_EQ(reader.nodeName(), "#text");
    EXPECT_EQ(reader.nodeValue(), "plain text");
    ASSERT_EQ(reader.read(), 1);
    EXPECT_EQ(reader.nodeType(), 15);
    EXPECT_EQ(reader.nodeName(), "ITEM");

    ASSERT_TRUE(advanceTo(reader, "ITEM"));
    ASSERT_EQ(reader.read(), 1);
    EXPECT_EQ(reader.nodeValue(), "a&b");

    while (reader.read() == 1) {
    }
    EXPECT_EQ(reader.read(), 0);
}

TEST(XMLTextReader, AttributesMissingOrEmptyReadAsEmpty) {
    ReaderPtr raw = openSample();
    XMLTextReader reader(raw.get());
    ASSERT_TRUE(advanceTo(reader, "ROOT"));
    EXPECT_EQ(reader.getAttribute("NAME"), "first");
    EXPECT_EQ(reader.getAttribute("EMPTY"), "");
    EXPECT_EQ(reader.getAttribute("MISSING"), "");
    EXPECT_EQ(reader.getAttribute("name"), ""); // names are case-sensitive

    ASSERT_EQ(reader.read(), 1); // white space between elements: no attributes
    EXPECT_EQ(reader.getAttribute("NAME"), "");
}

TEST(XMLTextReader, PositionsWithoutNameOrValueReadAsEmpty) {
    ReaderPtr raw = openSample();
    XMLTextReader reader(raw.get());
    EXPECT_EQ(reader.nodeName(), ""); // before the first read
    EXPECT_EQ(reader.nodeValue(), "");
    ASSERT_EQ(reader.read(), 1);
    EXPECT_EQ(reader.nodeValue(), ""); // an element has no value
    while (reader.read() == 1) {
    }
    EXPECT_EQ(reader.nodeName(), ""); // after the end
    EXPECT_EQ(reader.nodeValue(), "");
}

TEST(XMLTextReader, TellsEmptyElementTagsFromOpenOnes) {
    ReaderPtr raw = openSample();
    XMLTextReader reader(raw.get());
    ASSERT_TRUE(advanceTo(reader, "ROOT"));
    EXPECT_FALSE(reader.isEmptyElement());
    ASSERT_TRUE(advanceTo(reader, "SHUT"));
    EXPECT_TRUE(reader.isEmptyElement());
    EXPECT_EQ(reader.getAttribute("NAME"), "closed");
    ASSERT_EQ(reader.read(), 1); // the line end after it, and no end element for SHUT
    EXPECT_EQ(reader.nodeType(), 14);
    ASSERT_EQ(reader.read(), 1);
    EXPECT_EQ(reader.nodeType(), 1);
    EXPECT_EQ(reader.nodeName(), "OPEN");
    EXPECT_FALSE(reader.isEmptyElement());
    ASSERT_EQ(reader.read(), 1);
    EXPECT_EQ(reader.nodeType(), 15);
    EXPECT_EQ(reader.nodeName(), "OPEN");
    EXPECT_FALSE(reader.isEmptyElement());
}

TEST(XMLTextReader, AbsentReaderAnswersMinusOne) {
    XMLTextReader reader(nullptr);
    EXPECT_EQ(reader.read(), -1);
    EXPECT_EQ(reader.nodeType(), -1);
    EXPECT_EQ(reader.nodeName(), "");
    EXPECT_EQ(reader.nodeValue(), "");
    EXPECT_EQ(reader.getAttribute("NAME"), "");
    EXPECT_FALSE(reader.isEmptyElement());
    EXPECT_EQ(reader.getReader(), nullptr);
}

TEST(XMLTextReader, CopiesShareTheReaderAndDestructionLeavesItUsable) {
    ReaderPtr raw = openSample();
    {
        XMLTextReader first(raw.get());
        XMLTextReader second = first;
        ASSERT_EQ(first.read(), 1);      // ROOT
        ASSERT_EQ(second.read(), 1);     // white space after it
        EXPECT_EQ(first.nodeType(), 14); // the copy moved the same reader
    }
    EXPECT_EQ(xmlTextReaderRead(raw.get()), 1); // still alive after both wrappers went
    EXPECT_STREQ(reinterpret_cast<const char*>(xmlTextReaderConstName(raw.get())), "ITEM");
}
