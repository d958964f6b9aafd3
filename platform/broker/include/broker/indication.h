// The provider side of the broker: an indication's properties as typed on a
// command line, the CIM-XML export document built from them and its
// delivery to a file:// destination.
#ifndef ORVIND_BROKER_INDICATION_H
#define ORVIND_BROKER_INDICATION_H

#include "broker/repository.h"

#include <string>
#include <vector>

namespace broker {

// The line written after every delivered document, without its line end.
extern const char* const trailer;

// Whether name is one of the CIM type names a document carries: string,
// uint8, sint8, uint16, sint16, uint32, sint32, uint64, sint64, real32,
// real64, boolean, char16, datetime.
bool isTypeName(const std::string& name);

// Parses one property given as "Name:type=value", "Name:type[]=v1,v2" (a
// backslash keeps a comma or backslash in an element), "Name:type" (NULL)
// or "Name:type[]" (NULL array); "Name:type[]=" is an empty array. With
// check, values are checked against their type and written in the
// document's form (TRUE/FALSE, 1.5000000e+00, ...); without, they are
// taken as they stand. False with a one-line *error on bad input.
bool parseProperty(const std::string& given, bool check, Property* out, std::string* error);

// The properties of a document as the broker writes it: those the raised
// indication holds, in the order given (a NULL one as start and end tags
// only), with the broker's own (SequenceNumber, SequenceContext,
// IndicationFilterName, in that order) together among them, after `at` of
// the given ones (at most all of them). The added ones take the place of any
// given under their names.
std::vector<Property> documentProperties(const std::vector<Property>& given,
                                         const std::vector<Property>& added, size_t at);

// Entity-escapes <, >, &, " and '; everything else passes unchanged.
std::string escapeXml(const std::string& text);

// The export request for one indication: every element on its own line, no
// line end after </CIM>.
std::string buildDocument(const std::string& className, const std::vector<Property>& properties,
                          unsigned long long messageId);

// One delivery attempt as the broker makes it: cut "file://" (the first 7
// characters) off the destination, open the path for appending and reading,
// creating a regular file if nothing is there, write the document, "\n" and
// the trailer line, close. Returns 0, or the errno of the failed open; write
// and close errors are not noticed.
int deliverToFile(const std::string& destination, const std::string& document);

} // namespace broker

#endif
