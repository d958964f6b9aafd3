// Which subscriptions an indication goes to: the filter query, the class
// hierarchy of indication classes and the lookup of filter and handler.
#ifndef ORVIND_BROKER_SUBSCRIPTIONS_H
#define ORVIND_BROKER_SUBSCRIPTIONS_H

#include "broker/repository.h"

#include <map>
#include <string>
#include <vector>

namespace broker {

// The class of a query "SELECT * FROM <class>" (keywords in any case, any
// blanks between the words); false for every other query.
bool parseQuery(const std::string& query, std::string* className);

// The superclass of each indication class: a built-in list of the standard
// indication classes (and of the platform providers' alert class), extended or
// overridden by the repository's "classes" file. A class named nowhere is taken
// as a direct subclass of CIM_ProcessIndication, as a provider's own indication
// classes usually are. Properties declared in the file are kept there for the
// reader; a document carries the properties of the raised indication only.
class Schema {
public:
    static Schema load(const std::string& dir);
    // The superclass of cls; "" for CIM_Indication, the root.
    std::string superclass(const std::string& cls) const;
    // Whether cls is base or one of its subclasses.
    bool isA(const std::string& cls, const std::string& base) const;
    // Adds "cls superclass [Name:type]..." to the repository's "classes" file;
    // the properties given are the class's own ("Name:type" or "Name:type[]").
    static Status define(const std::string& dir, const std::string& cls,
                         const std::string& superclass,
                         const std::vector<std::string>& properties = {});

private:
    Schema();
    void add(const std::string& cls, const std::string& superclass);
    std::map<std::string, std::string> classes_; // lower-case class name -> superclass
};

// SequenceNumber values for count indications to a destination: the first of
// count numbers in a row, kept per destination in the repository's
// "sequence" file so that they go on across runs.
Status reserveSequence(const std::string& dir, const std::string& destination,
                       unsigned long long count, long long* first);

// One place an indication is delivered to.
struct Target {
    std::string subscription; // the subscription's path text
    std::string filterName;   // the filter's Name, sent as IndicationFilterName
    std::string destination;  // the handler's Destination
};

// Every subscription whose filter selects an indication of class cls raised
// in namespace ns: the filter's query class is cls or a superclass of it and
// its SourceNamespace is ns. Subscriptions whose filter or handler is gone
// are passed over.
Status findTargets(const Repository& repository, const std::string& cls, const std::string& ns,
                   std::vector<Target>* out);

} // namespace broker

#endif
