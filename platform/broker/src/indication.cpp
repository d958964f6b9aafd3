#include "broker/indication.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace broker {

const char* const trailer = "=========== End of Indication ===========";

namespace {

const char* typeNames[] = {"string", "uint8",  "sint8",  "uint16", "sint16",  "uint32", "sint32",
                           "uint64", "sint64", "real32", "real64", "boolean", "char16", "datetime"};

bool allDigits(const std::string& s, size_t from) {
    if (s.size() <= from) {
        return false;
    }
    for (size_t i = from; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') {
            return false;
        }
    }
    return true;
}

int bits(const std::string& type) {
    return std::atoi(type.c_str() + 4);
}

// The checks of one element of a type: true with the document's form in *out, else
// false with *why (which may stay empty).
bool checkBoolean(const std::string& text, std::string* out, std::string* why) {
    if (sameName(text, "true") || sameName(text, "false")) {
        *out = sameName(text, "true") ? "TRUE" : "FALSE";
        return true;
    }
    *why = "TRUE or FALSE";
    return false;
}

bool checkChar16(const std::string& text, std::string* out, std::string* why) {
    // One character, which may take several bytes in UTF-8.
    size_t n = text.empty() ? 0 : 1;
    unsigned char lead = text.empty() ? 0 : static_cast<unsigned char>(text[0]);
    if (lead >= 0xF0) {
        n = 4;
    } else if (lead >= 0xE0) {
        n = 3;
    } else if (lead >= 0xC0) {
        n = 2;
    }
    if (text.empty() || text.size() != n) {
        *why = "one character";
        return false;
    }
    *out = text;
    return true;
}

bool checkDatetime(const std::string& text, std::string* out, std::string* why) {
    if (text.size() != 25 || (text[21] != '+' && text[21] != '-' && text[21] != ':')) {
        *why = "25 characters with '+', '-' or ':' at index 21";
        return false;
    }
    *out = text;
    return true;
}

bool checkReal(const std::string& type, const std::string& text, std::string* out) {
    char* end = nullptr;
    errno = 0;
    double d = strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(d) || errno == ERANGE) {
        return false;
    }
    char buf[64];
    if (type == "real32") {
        snprintf(buf, sizeof buf, "%.7e", static_cast<double>(static_cast<float>(d)));
    } else {
        snprintf(buf, sizeof buf, "%.16e", d);
    }
    *out = buf;
    return true;
}

bool checkInteger(const std::string& type, const std::string& text, std::string* out,
                  std::string* why) {
    int width = bits(type);
    errno = 0;
    if (type[0] == 'u') {
        if (!allDigits(text, 0)) {
            *why = "digits only";
            return false;
        }
        unsigned long long v = strtoull(text.c_str(), nullptr, 10);
        unsigned long long max = width == 64 ? ~0ULL : (1ULL << width) - 1;
        if (errno == ERANGE || v > max) {
            *why = "out of range";
            return false;
        }
        *out = std::to_string(v);
        return true;
    }
    if (!allDigits(text, text[0] == '-' ? 1 : 0)) {
        *why = "digits only";
        return false;
    }
    long long v = strtoll(text.c_str(), nullptr, 10);
    long long max = width == 64 ? 0x7FFFFFFFFFFFFFFFLL : (1LL << (width - 1)) - 1;
    if (errno == ERANGE || v > max || v < -max - 1) {
        *why = "out of range";
        return false;
    }
    *out = std::to_string(v);
    return true;
}

// Checks one element against its type; *out is the document's form.
bool checkValue(const std::string& type, const std::string& text, std::string* out,
                std::string* error) {
    std::string why;
    bool good = true;
    if (type == "string") {
        *out = text;
    } else if (type == "boolean") {
        good = checkBoolean(text, out, &why);
    } else if (type == "char16") {
        good = checkChar16(text, out, &why);
    } else if (type == "datetime") {
        good = checkDatetime(text, out, &why);
    } else if (type == "real32" || type == "real64") {
        good = checkReal(type, text, out);
    } else {
        good = checkInteger(type, text, out, &why);
    }
    if (!good) {
        *error = "'" + text + "' is not a " + type + (why.empty() ? "" : " (" + why + ")");
    }
    return good;
}

std::vector<std::string> splitItems(const std::string& text) {
    std::vector<std::string> items(1);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            items.back() += text[++i];
        } else if (text[i] == ',') {
            items.emplace_back();
        } else {
            items.back() += text[i];
        }
    }
    return items;
}

} // namespace

bool isTypeName(const std::string& name) {
    for (const char* t : typeNames) {
        if (name == t) {
            return true;
        }
    }
    return false;
}

bool parseProperty(const std::string& given, bool check, Property* out, std::string* error) {
    size_t colon = given.find(':');
    if (colon == std::string::npos) {
        *error = "property '" + given + "' is not Name:type=value";
        return false;
    }
    size_t equals = given.find('=', colon);
    Property p;
    p.name = given.substr(0, colon);
    std::string type =
        given.substr(colon + 1, equals == std::string::npos ? equals : equals - colon - 1);
    if (!validName(p.name)) {
        *error = "property '" + given + "' has no valid name (letters, digits, underscores)";
        return false;
    }
    p.value.array = type.size() > 2 && type.compare(type.size() - 2, 2, "[]") == 0;
    p.value.type = p.value.array ? type.substr(0, type.size() - 2) : type;
    if (!isTypeName(p.value.type)) {
        *error = "unknown type '" + type + "' in property '" + given + "'";
        return false;
    }
    if (equals == std::string::npos) {
        p.value.null = true;
        *out = p;
        return true;
    }
    std::string text = given.substr(equals + 1);
    std::vector<std::string> items;
    if (!p.value.array) {
        items.push_back(text);
    } else if (!text.empty()) {
        items = splitItems(text);
    }
    for (const std::string& item : items) {
        std::string value = item;
        if (check && !checkValue(p.value.type, item, &value, error)) {
            *error = "property " + p.name + ": " + *error;
            return false;
        }
        p.value.items.push_back(value);
    }
    *out = p;
    return true;
}

std::vector<Property> documentProperties(const std::vector<Property>& given,
                                         const std::vector<Property>& added, size_t at) {
    auto has = [](const std::vector<Property>& list, const std::string& name) {
        for (const Property& p : list) {
            if (sameName(p.name, name)) {
                return true;
            }
        }
        return false;
    };
    std::vector<Property> rest;
    for (const Property& p : given) {
        if (!has(added, p.name) && !has(rest, p.name)) {
            rest.push_back(p);
        }
    }
    const auto place = rest.begin() + static_cast<std::ptrdiff_t>(std::min(at, rest.size()));
    std::vector<Property> out(rest.begin(), place);
    out.insert(out.end(), added.begin(), added.end());
    out.insert(out.end(), place, rest.end());
    return out;
}

std::string escapeXml(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string buildDocument(const std::string& className, const std::vector<Property>& properties,
                          unsigned long long messageId) {
    std::string doc = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n"
                      "<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\">\n"
                      "<MESSAGE ID=\"" +
                      std::to_string(messageId) +
                      "\" PROTOCOLVERSION=\"1.0\">\n"
                      "<SIMPLEEXPREQ>\n"
                      "<EXPMETHODCALL NAME=\"ExportIndication\">\n"
                      "<EXPPARAMVALUE NAME=\"NewIndication\">\n"
                      "<INSTANCE CLASSNAME=\"" +
                      escapeXml(className) + "\">\n";
    for (const Property& p : properties) {
        const Value& v = p.value;
        std::string element = v.array ? "PROPERTY.ARRAY" : "PROPERTY";
        doc += "<" + element + " NAME=\"" + escapeXml(p.name) + "\" TYPE=\"" + escapeXml(v.type) +
               "\">\n";
        if (!v.null) {
            if (v.array) {
                doc += "<VALUE.ARRAY>\n";
            }
            for (const std::string& item : v.items) {
                doc += "<VALUE>" + escapeXml(item) + "</VALUE>\n";
            }
            if (v.array) {
                doc += "</VALUE.ARRAY>\n";
            }
        }
        doc += "</" + element + ">\n";
    }
    doc += "</INSTANCE>\n"
           "</EXPPARAMVALUE>\n"
           "</EXPMETHODCALL>\n"
           "</SIMPLEEXPREQ>\n"
           "</MESSAGE>\n"
           "</CIM>";
    return doc;
}

int deliverToFile(const std::string& destination, const std::string& document) {
    if (destination.size() <= 7) {
        return ENOENT;
    }
    std::string path = destination.substr(7);
    // fopen(path, "a+"), but a file created here gets mode 0644 as the
    // broker's do.
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return errno;
    }
    FILE* f = fdopen(fd, "a+");
    if (f == nullptr) {
        int err = errno;
        close(fd);
        return err;
    }
    std::string tail = std::string(trailer) + "\n";
    fwrite(document.data(), 1, document.size(), f);
    fwrite("\n", 1, 1, f);
    fwrite(tail.data(), 1, tail.size(), f);
    fclose(f);
    return 0;
}

} // namespace broker
