#include "tarvos/service/XmlConfigImpl.h"

#include <optional>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"
#include "tarvos/service/ConfigFactory.h"
#include "tarvos/service/internal/ConfigTestSupport.h"
#include "tarvos/xml/XMLParser.h"

namespace Tarvos::Service {
namespace {

using testing::ExpectThrowWithMessage;
using testing::TreeText;

constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

class XmlConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        CreateXmlStringConfig(&_text, _config);
        _config->GetRootView(_root);
    }

    XmlConfigImpl& Xml() { return dynamic_cast<XmlConfigImpl&>(*_config); }
    void Load(const std::string& text) {
        _text = text;
        _config->Load();
    }
    std::string Save() {
        _config->Save();
        return _text;
    }
    std::string Get(const std::string& path) {
        std::string value = "<none>";
        _root->GetString(path, value);
        return value;
    }
    void ExpectLoadFails(const std::string& text, const std::string& message) {
        SCOPED_TRACE(text);
        _text = text;
        ExpectThrowWithMessage<FileFormatException>([&] { _config->Load(); }, message);
    }
    void ExpectRoundTrip() {
        std::string copy = Save();
        Ref<Config> reloaded;
        CreateXmlStringConfig(&copy, reloaded);
        reloaded->Load();
        EXPECT_EQ(TreeText(*reloaded), TreeText(*_config)) << copy;
    }

    std::string _text;
    Ref<Config> _config;
    Ref<Config::View> _root;
};

TEST_F(XmlConfigTest, SavesAnIndentedDocumentWithKeysAsIdAttributes) {
    _root->Set("a/b[k]", "v");
    _root->Set("a/b", "plain");
    _root->Set("a/e", "");
    _root->Set("c", "x < y & \"z\"");
    EXPECT_EQ(Save(), std::string(kDeclaration) +
                          "<ConfigRoot>\n  <a>\n    <b>plain</b>\n    <b id=\"k\">v</b>\n"
                          "    <e></e>\n  </a>\n  <c>x &lt; y &amp; &quot;z&quot;</c>\n"
                          "</ConfigRoot>\n");
}

struct Quoting {
    const char* value;
    const char* written;  // the element's content as written
};

void PrintTo(const Quoting& quoting, std::ostream* out) {
    *out << ::testing::PrintToString(std::string(quoting.value));
}

class XmlQuotingTest : public XmlConfigTest, public ::testing::WithParamInterface<Quoting> {};

TEST_P(XmlQuotingTest, ValueIsQuotedWhenTrimmingOrUnquotingWouldChangeIt) {
    _root->Set("v", GetParam().value);
    const std::string text = Save();
    EXPECT_NE(text.find("<v>" + std::string(GetParam().written) + "</v>"), std::string::npos)
        << text;
    Load(text);
    EXPECT_EQ(Get("v"), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Values, XmlQuotingTest,
    ::testing::Values(Quoting{" x", "&quot; x&quot;"}, Quoting{"x\n", "&quot;x\n&quot;"},
                      Quoting{"\tx", "&quot;\tx&quot;"}, Quoting{"  ", "&quot;  &quot;"},
                      Quoting{"\"x\"", "&quot;&quot;x&quot;&quot;"},
                      Quoting{"\"", "&quot;&quot;&quot;"}, Quoting{"\"x", "&quot;x"},
                      Quoting{"a b", "a b"}, Quoting{"", ""}));

TEST_F(XmlConfigTest, PrefixesAndTextThatXmlNormalisesOrEscapesRoundTrip) {
    Load("<r xmlns:p=\"urn:p\"><p:a>1</p:a><b:c:d>2</b:c:d></r>");
    EXPECT_EQ(Get("p:a"), "1");
    EXPECT_EQ(Save(),
              std::string(kDeclaration) + "<r>\n  <b:c:d>2</b:c:d>\n  <p:a>1</p:a>\n</r>\n");
    _root->Set("cr", "a\rb\r\nc");
    _root->Set("markup", "<&>'\"]]>");
    _root->Set("utf8",
               "Gr\xc3\xb6\xc3\x9f"
               "e \xf0\x9f\x98\x80");
    _root->Set("k[tab\there]", "1");
    _root->Set("k[line\nfeed\r]", "2");
    _root->Set(
        "Gr\xc3\xb6\xc3\x9f"
        "e",
        "non-ASCII name");
    ExpectRoundTrip();
}

// A tree XML cannot carry is refused rather than written so that it reads back otherwise.
struct Unwritable {
    std::string name;
    std::optional<std::string> key;
    std::string value;
    std::string message;
};

class XmlUnwritableTest : public XmlConfigTest, public ::testing::WithParamInterface<Unwritable> {};

TEST_P(XmlUnwritableTest, SaveRefusesAndLeavesTheOldText) {
    _root->Set("fine", "1");
    Ref<ConfigBase::Node> node(new ConfigBase::Node(GetParam().name, GetParam().key));
    dynamic_cast<ConfigBase&>(*_config).GetRoot()->AddChild(node);
    node->SetValue(GetParam().value);
    _text = "old";
    ExpectThrowWithMessage<FileFormatException>([&] { _config->Save(); },
                                                "File Format Exception: " + GetParam().message);
    EXPECT_EQ(_text, "old");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, XmlUnwritableTest,
    ::testing::Values(
        Unwritable{"1a", {}, "v", "Element name cannot be written as XML: /1a"},
        Unwritable{"a b", {}, "v", "Element name cannot be written as XML: /a b"},
        Unwritable{"a\xc3\x97", {}, "v", "Element name cannot be written as XML: /a\xc3\x97"},
        Unwritable{"a", {}, "bell\x07", "Value cannot be written as XML: /a"},
        Unwritable{"a", {}, "\xc3(", "Value cannot be written as XML: /a"},
        Unwritable{"a", {}, "\xed\xa0\x80", "Value cannot be written as XML: /a"},
        Unwritable{"a", {}, "\xef\xbf\xbe", "Value cannot be written as XML: /a"},
        Unwritable{"a", "k\x1f", "v", "Key cannot be written as XML: /a[k\x1f]"}));

TEST_F(XmlConfigTest, RootElementNameComesFromTheLastLoad) {
    EXPECT_EQ(Xml().GetRootElementName(), "ConfigRoot");
    Load("<Other><a>1</a></Other>");
    EXPECT_EQ(Save(), std::string(kDeclaration) + "<Other>\n  <a>1</a>\n</Other>\n");
    _text = "<Broken><a></Broken>";
    EXPECT_THROW(_config->Load(), Tarvos::Xml::XMLParseException);
    EXPECT_EQ(Xml().GetRootElementName(), "Other");
    Xml().SetRootElementName("not a name");
    EXPECT_THROW(_config->Save(), FileFormatException);
}

TEST_F(XmlConfigTest, ElementsBecomeNodesAndTheirTextTrimmedValues) {
    Load(
        "<?xml version=\"1.0\"?>\n<!-- comment -->\n<ConfigRoot>\n"
        "  <pool><Max other=\"x\">\n  10 \r\n</Max><q>  \" padded \"  </q><d>\"</d></pool>\n"
        "  <plugin id=\"0001\"><path/></plugin>\n  <plugin id=\"0000\"><path></path></plugin>\n"
        "  <plugin><path>  \n\t </path></plugin><!-- a comment --><?pi ignored?>\n"
        "</ConfigRoot>\n");
    EXPECT_EQ(TreeText(*_config),
              " (no value)\n/plugin (no value)\n/plugin/path = \n/plugin[0000] (no value)\n"
              "/plugin[0000]/path = \n/plugin[0001] (no value)\n/plugin[0001]/path = \n"
              "/pool (no value)\n/pool/Max = 10\n/pool/d = \"\n/pool/q =  padded \n");
}

TEST_F(XmlConfigTest, TextSplitByCommentsOrCDataIsOneValue) {
    Load("<r><a>x<!--c-->y</a><b><![CDATA[<raw & text>]]></b><c> 1<![CDATA[2]]>3 </c></r>");
    EXPECT_EQ(Get("a"), "xy");
    EXPECT_EQ(Get("b"), "<raw & text>");
    EXPECT_EQ(Get("c"), "123");
    Load("<r> top </r>");
    EXPECT_EQ(Get(""), "top");
    ExpectRoundTrip();
}

// Regression (found by fuzzing): the root's empty value was written as an empty element, which
// reads back as no value at all.
TEST_F(XmlConfigTest, EmptyRootValueRoundTrips) {
    Load("<r>\"\"</r>");
    EXPECT_EQ(Get(""), "");
    EXPECT_EQ(Save(), std::string(kDeclaration) + "<r>&quot;&quot;</r>\n");
    ExpectRoundTrip();
}

TEST_F(XmlConfigTest, TextBesideChildElementsIsRejected) {
    for (const char* text : {"<r><a>x<b>1</b></a></r>", "<r><a><b>1</b>x</a></r>",
                             "<r><a><b/><![CDATA[x]]></a></r>", "<r>x<a>1</a></r>"}) {
        ExpectLoadFails(text, "File Format Exception: Node has both value and children");
    }
}

TEST_F(XmlConfigTest, SiblingsWithEqualNameAndKeyAreRejected) {
    ExpectLoadFails("<r><a id=\"1\">x</a><a id=\"2\">y</a><a id=\"1\">z</a></r>",
                    "File Format Exception: Duplicate child: a[1]");
    ExpectLoadFails("<r><s><a/><a/></s></r>", "File Format Exception: Duplicate child: a");
    Load("<r><s><a/><a id=\"\"/></s><t><a/></t></r>");
    EXPECT_TRUE(_root->Exists("s/a[]"));
}

// Regression (found by fuzzing): an element named ":" made a node without name, which no save
// could write. Names led by a colon keep it, and round-trip.
TEST_F(XmlConfigTest, ElementNamesLedByAColonKeepIt) {
    Load("<r><: id=\"1\"/><::a>2</::a><b::>3</b::></r>");
    EXPECT_EQ(TreeText(*_config), " (no value)\n/:[1] = \n/::a = 2\n/b:: = 3\n");
    ExpectRoundTrip();
    Load("<:>1</:>");
    EXPECT_EQ(Xml().GetRootElementName(), ":");
    EXPECT_EQ(Save(), std::string(kDeclaration) + "<:>1</:>\n");
}

TEST_F(XmlConfigTest, MalformedXmlThrowsTheParserErrorWithItsLine) {
    _root->Set("previous", "1");
    _text = "<r>\n<a>\n</b>\n</r>";
    try {
        _config->Load();
        FAIL() << "no exception";
    } catch (const Tarvos::Xml::XMLParseException& e) {
        EXPECT_EQ(e.GetMessage(), "mismatched tag");
        EXPECT_EQ(e.GetLineNumber(), 3u);
    }
    EXPECT_EQ(TreeText(*_config), " (no value)\n");  // emptied before the failure
    for (const char* text : {"", "<r>", "<r/><s/>"}) {
        _text = text;
        EXPECT_THROW(_config->Load(), Tarvos::Xml::XMLParseException) << text;
    }
}

TEST_F(XmlConfigTest, HundredThousandLevelsLoadAndSaveCompactWithoutRecursion) {
    constexpr int kDepth = 100000;
    std::string text = "<r>";
    std::string path = "n";
    for (int i = 0; i < kDepth; ++i) {
        text += "<n>";
        path += i > 0 ? "/n" : "";
    }
    text += "leaf";
    for (int i = 0; i < kDepth; ++i) {
        text += "</n>";
    }
    Load(text + "</r>");
    EXPECT_EQ(Get(path), "leaf");
    const std::string saved = Save();
    EXPECT_LT(saved.size(), text.size() + 200);  // compact: linear in the depth
    Load(saved);
    EXPECT_EQ(Get(path), "leaf");
}

}  // namespace
}  // namespace Tarvos::Service
