#pragma once

// A deterministic XML document of a given size, shaped like the traffic the XML layer carries: a
// SOAP envelope whose body holds management requests with configuration sections (nested
// elements with attributes), item lists, entity and character references in text and
// attributes, CDATA script blocks, comments, and the indentation whitespace of a generated
// document. The same size always gives the same bytes.

#include <cstddef>
#include <cstdint>
#include <string>

namespace TarvosBench {

class XmlDocumentGenerator {
public:
    // A document of at least `minimumBytes` bytes (a little more: whole records only).
    static std::string Make(size_t minimumBytes) {
        XmlDocumentGenerator generator;
        return generator.Build(minimumBytes);
    }

private:
    // A small linear congruential generator: the document must not depend on the platform's
    // random number facilities.
    uint32_t Next() {
        _state = _state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(_state >> 33);
    }
    uint32_t Below(uint32_t bound) { return Next() % bound; }

    template <size_t N>
    const char* Pick(const char* const (&words)[N]) {
        return words[Below(N)];
    }

    void Indent(int level) { _out.append(static_cast<size_t>(level) * 2, ' '); }

    void Words(int count) {
        static const char* const kWords[] = {
            "service", "request", "timeout", "session", "the",     "of",       "and",
            "limit",   "queue",   "worker",  "client",  "server",  "default",  "value",
            "is",      "for",     "with",    "handler", "journal", "rotation", "pipe"};
        for (int i = 0; i < count; ++i) {
            if (i > 0) {
                _out += ' ';
            }
            _out += Pick(kWords);
        }
    }

    void Key(int level, const char* name, const char* type) {
        Indent(level);
        _out += "<Key name=\"";
        _out += name;
        _out += "\" type=\"";
        _out += type;
        _out += "\">";
        switch (Below(4)) {
            case 0:
                _out += std::to_string(Below(100000));
                break;
            case 1:
                Words(2 + static_cast<int>(Below(6)));
                break;
            case 2:
                _out += "Tom &amp; Jerry &lt;";
                Words(1);
                _out += "&gt; &#169; &quot;quoted&quot;";
                break;
            default:
                _out += "C:/Program Files/Tarvos/";
                Words(1);
                _out += ".log";
                break;
        }
        _out += "</Key>\n";
    }

    void Section(int level, int depth) {
        static const char* const kSections[] = {"threadpool", "logging", "http",   "soap",
                                                "authorize",  "journal", "lattix", "plugins"};
        static const char* const kKeys[] = {"TaskMax", "IoMax",   "Path",   "Level", "Port",
                                            "Timeout", "MaxSize", "Enable", "Name",  "Group"};
        static const char* const kTypes[] = {"int", "string", "bool", "path"};
        Indent(level);
        _out += "<Section name=\"";
        _out += Pick(kSections);
        _out += "\" order=\"";
        _out += std::to_string(Below(100));
        _out += "\">\n";
        const int keys = 2 + static_cast<int>(Below(5));
        for (int i = 0; i < keys; ++i) {
            Key(level + 1, Pick(kKeys), Pick(kTypes));
        }
        if (depth > 0 && Below(2) == 0) {
            Section(level + 1, depth - 1);
        }
        Indent(level);
        _out += "</Section>\n";
    }

    void Items(int level) {
        static const char* const kStates[] = {"active", "stopped", "pending", "failed"};
        Indent(level);
        _out += "<m:Items count=\"8\">\n";
        for (int i = 0; i < 8; ++i) {
            Indent(level + 1);
            _out += "<m:Item id=\"";
            _out += std::to_string(_items++);
            _out += "\" state=\"";
            _out += Pick(kStates);
            _out += "\" owner=\"user";
            _out += std::to_string(Below(1000));
            _out += "@example.org\" label=\"A &amp; B\">";
            Words(3 + static_cast<int>(Below(10)));
            _out += "</m:Item>\n";
        }
        Indent(level);
        _out += "</m:Items>\n";
    }

    void Request(int level) {
        Indent(level);
        _out += "<!-- request ";
        _out += std::to_string(_requests);
        _out += ": generated -->\n";
        Indent(level);
        _out += "<m:UpdateRequest xmlns:m=\"urn:tarvos:management\" id=\"req-";
        _out += std::to_string(_requests++);
        _out += "\" priority=\"";
        _out += std::to_string(Below(10));
        _out += "\">\n";
        Indent(level + 1);
        _out += "<m:Config name=\"service.xml\" version=\"3\">\n";
        const int sections = 1 + static_cast<int>(Below(3));
        for (int i = 0; i < sections; ++i) {
            Section(level + 2, 2);
        }
        if (Below(3) == 0) {
            Indent(level + 2);
            _out += "<Script lang=\"js\"><![CDATA[if (a < b && c > d) { run(\"";
            Words(2);
            _out += "\"); }]]></Script>\n";
        }
        Indent(level + 1);
        _out += "</m:Config>\n";
        Items(level + 1);
        Indent(level);
        _out += "</m:UpdateRequest>\n";
    }

    std::string Build(size_t minimumBytes) {
        _out.reserve(minimumBytes + 4096);
        _out +=
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
            "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n"
            "  <soap:Header>\n"
            "    <t:Session xmlns:t=\"urn:tarvos:session\" soap:mustUnderstand=\"1\">"
            "quarex_soap_session=4f2a9c</t:Session>\n"
            "  </soap:Header>\n"
            "  <soap:Body>\n";
        while (_out.size() < minimumBytes) {
            Request(2);
        }
        _out += "  </soap:Body>\n</soap:Envelope>\n";
        return std::move(_out);
    }

    uint64_t _state = 0x5DEECE66DULL;
    uint64_t _requests = 0;
    uint64_t _items = 0;
    std::string _out;
};

}  // namespace TarvosBench
