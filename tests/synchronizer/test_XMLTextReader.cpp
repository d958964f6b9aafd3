#include "XMLTextReader.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <libxml/xmlreader.h>

#include <memory>
#include <string>
#include <vector>

namespace {

const std::string kSample = ORVIND_TEST_DATA "/parser/reader.xml";

struct FreeReader {
    void operator()(xmlTextReader* reader) const { xmlFreeTextReader(reader); }
};
using ReaderPtr = std::unique_ptr<xmlTextReader, FreeReader>;

ReaderPtr openSample() {
    return ReaderPtr(xmlReaderForFile(kSample.c_str(), "utf-8", 0));
}

} // namespace

TEST(XMLTextReader, WalksNodesWithTheirKindsNamesTextsAndEmptyTags) {
    ReaderPtr raw = openSample();
    ASSERT_TRUE(raw);
    XMLTextReader reader(raw.get());
    EXPECT_EQ(reader.getReader(), raw.get());
    EXPECT_EQ(reader.nodeName() + reader.nodeValue(), "") << "before the first read";
    // Each node but the white space between elements (14) as "kind name text", with
    // a slash after the name of an empty tag.
    std::vector<std::string> nodes;
    while (reader.read() == 1) {
        if (reader.nodeType() != 14) {
            nodes.push_back(std::to_string(reader.nodeType()) + " " + reader.nodeName() +
                            (reader.isEmptyElement() ? "/ " : " ") + reader.nodeValue());
        }
    }
    EXPECT_EQ(reader.read(), 0);
    EXPECT_EQ(reader.nodeName() + reader.nodeValue(), "") << "after the end";
    // An empty tag delivers no end element.
    EXPECT_EQ(nodes, (std::vector<std::string>{"1 ROOT ", "1 ITEM ", "3 #text plain text",
                                               "15 ITEM ", "1 ITEM ", "3 #text a&b", "15 ITEM ",
                                               "1 SHUT/ ", "1 OPEN ", "15 OPEN ", "15 ROOT "}));
}

TEST(XMLTextReader, AttributesMissingOrEmptyReadAsEmpty) {
    ReaderPtr raw = openSample();
    XMLTextReader reader(raw.get());
    ASSERT_EQ(reader.read(), 1);
    ASSERT_EQ(reader.nodeName(), "ROOT");
    EXPECT_EQ(reader.getAttribute("NAME"), "first");
    EXPECT_EQ(reader.getAttribute("EMPTY"), "");
    EXPECT_EQ(reader.getAttribute("MISSING"), "");
    EXPECT_EQ(reader.getAttribute("name"), ""); // names are case-sensitive
    ASSERT_EQ(reader.read(), 1);                // white space between elements: no attributes
    EXPECT_EQ(reader.getAttribute("NAME"), "");
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
