#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"
#include "tarvos/core/Format.h"
#include "tarvos/core/StringReader.h"
#include "tarvos/core/StringWriter.h"
#include "tarvos/xml/CDataNode.h"
#include "tarvos/xml/CommentNode.h"
#include "tarvos/xml/ElementNode.h"
#include "tarvos/xml/TextNode.h"
#include "tarvos/xml/XMLParser.h"
#include "tarvos/xml/internal/XmlTestSupport.h"

namespace Tarvos::Xml {
namespace {

// Hands out a text in pieces of at most `piece` bytes; with `stutter`, every other call
// delivers nothing (0), as a pipe may. Can be told to fail after some bytes.
class PieceReader : public Reader, public ObjectImpl {
public:
    PieceReader(std::string text, size_t piece, bool stutter = false,
                size_t failAfter = std::string::npos)
        : _text(std::move(text)), _piece(piece), _stutter(stutter), _failAfter(failAfter) {}

    int32_t Read(char* buffer, int32_t length) override {
        largestRequest = std::max(largestRequest, length);
        if (_stutter && (++_calls % 2) == 1) {
            return 0;
        }
        if (_position >= _failAfter) {
            throw IOException();
        }
        if (_position == _text.size()) {
            return -1;
        }
        const size_t n = std::min({static_cast<size_t>(length), _piece, _text.size() - _position});
        std::memcpy(buffer, _text.data() + _position, n);
        _position += n;
        return static_cast<int32_t>(n);
    }
    void Close() override {}

    int32_t largestRequest = 0;

private:
    const std::string _text;
    const size_t _piece;
    const bool _stutter;
    const size_t _failAfter;
    size_t _position = 0;
    int _calls = 0;
};

class ParserTest : public ::testing::Test {
protected:
    ParserTest() {
        CreateXMLDocHandler(handler);
        CreateXMLParser(handler, parser);
    }

    Ref<Document> Parse(const std::string& text) {
        Ref<Document> document;
        parser->Parse(text, document);
        return document;
    }

    static std::string Compact(const Document& document) {
        Ref<StringWriter> out;
        CreateStringWriter(out);
        document.Write(*out);
        return out->ToString();
    }

    static ElementNode* Root(const Ref<Document>& document) {
        return dynamic_cast<ElementNode*>(document->GetRoot());
    }

    // The error of parsing `text`: its line, and the message through `message`.
    uint32_t ErrorLine(const std::string& text, std::string* message = nullptr) {
        Ref<Document> document;
        try {
            parser->Parse(text, document);
        } catch (const XMLParseException& e) {
            if (message != nullptr) {
                *message = e.what();
            }
            return e.GetLineNumber();
        }
        ADD_FAILURE() << "no XMLParseException for: " << text;
        return 0;
    }

    Ref<XMLHandler> handler;
    Ref<XMLParser> parser;
};

TEST_F(ParserTest, BuildsTheTreeFromElementsTextCommentsAndCData) {
    Ref<Document> document = Parse(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!-- lead --><r b=\"2\" a=\"1\">text<e/><!--c--><![CDATA[<raw>&amp;]]>tail</r>");
    EXPECT_EQ(document->GetVersion(), "1.0");
    EXPECT_EQ(document->GetEncoding(), "UTF-8");
    ElementNode* root = Root(document);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->GetName(), "r");
    std::vector<NodeType> kinds;
    for (Node* c = root->GetFirstChild(); c != nullptr; c = c->GetNextSibling()) {
        kinds.push_back(c->GetType());
        EXPECT_EQ(c->GetParent(), root);
    }
    EXPECT_EQ(kinds, (std::vector<NodeType>{NodeType::Text, NodeType::Element, NodeType::Comment,
                                            NodeType::CData, NodeType::Text}));
    Node* section = root->GetFirstChild()->GetNextSibling()->GetNextSibling()->GetNextSibling();
    auto* content = dynamic_cast<TextNode*>(section->GetFirstChild());
    ASSERT_NE(content, nullptr);
    EXPECT_EQ(content->GetValue(), "<raw>&amp;");
    EXPECT_EQ(Compact(*document),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<r a=\"1\" b=\"2\">text<e/><!--c--><![CDATA[<raw>&amp;]]>tail</r>");
}

// However expat splits character data, one run of text is one node.
class SplitTextTest : public ParserTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(SplitTextTest, EntityInTextYieldsOneTextNode) {
    const std::string input = "<r>a&amp;b<![CDATA[x]]>c&#13;&#x41;&lt;d</r>";
    PieceReader reader(input, GetParam(), /*stutter=*/GetParam() == 1);
    Ref<Document> document;
    parser->Parse(reader, document);
    ElementNode* root = Root(document);
    ASSERT_NE(root, nullptr);
    auto* first = dynamic_cast<TextNode*>(root->GetFirstChild());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->GetValue(), "a&b");
    auto* last = dynamic_cast<TextNode*>(root->GetLastChild());
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->GetValue(), "c\rA<d");
    EXPECT_EQ(first->GetNextSibling()->GetNextSibling(), last);
    EXPECT_EQ(Compact(*document), "<r>a&amp;b<![CDATA[x]]>c&#13;A&lt;d</r>");
    EXPECT_EQ(reader.largestRequest, 10240);
}

INSTANTIATE_TEST_SUITE_P(Pieces, SplitTextTest, ::testing::Values(1, 2, 3, 7, 10240));

TEST_F(ParserTest, PrefixIsSplitOffAndKeptInAttributeNames) {
    const std::string input = "<p:r xmlns:p=\"urn:x\" p:z=\"1\" a=\"2\"><p:c/></p:r>";
    Ref<Document> document = Parse(input);
    ElementNode* root = Root(document);
    EXPECT_EQ(root->GetPrefix(), "p");
    EXPECT_EQ(root->GetName(), "r");
    AttributeMap attributes;
    root->GetAttributes(attributes);
    EXPECT_EQ(attributes, (AttributeMap{{"a", "2"}, {"p:z", "1"}, {"xmlns:p", "urn:x"}}));
    EXPECT_NE(root->FindChildElement("c"), nullptr);
    EXPECT_EQ(Compact(*document), "<p:r a=\"2\" p:z=\"1\" xmlns:p=\"urn:x\"><p:c/></p:r>");
}

// Regression (found by the round-trip fuzzer): a leading colon is part of the local name, or
// ":--" would be written back as the unparsable "--".
TEST_F(ParserTest, LeadingColonStaysInTheLocalName) {
    Ref<Document> document = Parse("<:-- :a=\"1\"><:x/><a:/><a::b/></:-->");
    EXPECT_EQ(Root(document)->GetPrefix(), "");
    EXPECT_EQ(Root(document)->GetName(), ":--");
    auto* trailing = dynamic_cast<ElementNode*>(Root(document)->GetFirstChild()->GetNextSibling());
    EXPECT_EQ(trailing->GetPrefix(), "a");
    EXPECT_EQ(trailing->GetName(), "");
    const std::string written = Compact(*document);
    EXPECT_EQ(written, "<:-- :a=\"1\"><:x/><a:/><a::b/></:-->");
    EXPECT_EQ(Compact(*Parse(written)), written);
}

TEST_F(ParserTest, ProcessingInstructionsLeaveNoNodeAndNoDeclarationIsWrittenWithoutOne) {
    Ref<Document> document = Parse("<?style x?><r><?app data?>a<?app more?>b</r><?tail?>");
    EXPECT_EQ(document->GetVersion(), "");
    EXPECT_EQ(Compact(*document), "<r>ab</r>");
    EXPECT_EQ(Root(document)->GetFirstChild(), Root(document)->GetLastChild());
}

TEST_F(ParserTest, CommentsAroundTheRootKeepTheElementRoot) {
    Ref<Document> document = Parse("<!--before--><r/><!--after-->");
    ASSERT_NE(Root(document), nullptr);
    EXPECT_EQ(Root(document)->GetName(), "r");
    EXPECT_EQ(Compact(*document), "<r/>");
}

TEST_F(ParserTest, DocumentTypeDeclarationExpandsInternalEntities) {
    Ref<Document> document =
        Parse("<!DOCTYPE r [<!ENTITY e \"x<b>y</b>\"><!ATTLIST r d CDATA \"dv\">]><r>&e;</r>");
    EXPECT_EQ(Compact(*document), "<r d=\"dv\">x<b>y</b></r>");
}

TEST_F(ParserTest, EntityExpansionAttackIsRefused) {
    std::string input = "<!DOCTYPE r [<!ENTITY l0 \"0123456789\">";
    for (int i = 1; i < 10; ++i) {
        input += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) {
            input += "&l" + std::to_string(i - 1) + ";";
        }
        input += "\">";
    }
    input += "]>\n<r>&l9;</r>";
    std::string message;
    EXPECT_EQ(ErrorLine(input, &message), 2u);
    EXPECT_NE(message.find("amplification"), std::string::npos) << message;
}

struct MalformedCase {
    std::string input;
    uint32_t line;
    std::string message;
};

class MalformedTest : public ParserTest, public ::testing::WithParamInterface<MalformedCase> {};

TEST_P(MalformedTest, ThrowsWithExpatTextAndLine) {
    std::string message;
    EXPECT_EQ(ErrorLine(GetParam().input, &message), GetParam().line);
    EXPECT_EQ(message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, MalformedTest,
    ::testing::Values(MalformedCase{"<a>\n<b>\n</a>", 3, "mismatched tag"},
                      MalformedCase{"<a>\n\n<b></b>\n", 4, "no element found"},
                      MalformedCase{"", 1, "no element found"},
                      MalformedCase{"<a/>\n<b/>", 2, "junk after document element"},
                      MalformedCase{"<a x='1' x='2'/>", 1, "duplicate attribute"},
                      MalformedCase{"<a>&undefined;</a>", 1, "undefined entity"},
                      MalformedCase{"<a>\n\x01</a>", 2, "not well-formed (invalid token)"}));

TEST_F(ParserTest, PartialDocumentStaysInTheCallersRef) {
    Ref<Document> document;
    EXPECT_THROW(parser->Parse(std::string("<!--first--><r><a></b></r>"), document),
                 XMLParseException);
    ASSERT_NE(document, nullptr);
    ASSERT_NE(document->GetRoot(), nullptr);
    EXPECT_EQ(document->GetRoot()->GetType(), NodeType::Comment);
}

TEST_F(ParserTest, ParserIsReusableAfterAnError) {
    EXPECT_EQ(ErrorLine("<a>"), 1u);
    Ref<Document> first = Parse("<one/>");
    Ref<Document> second = Parse("<two/>");
    EXPECT_NE(first, second);
    EXPECT_EQ(Root(first)->GetName(), "one");
    EXPECT_EQ(Root(second)->GetName(), "two");
}

TEST_F(ParserTest, ReaderFailurePropagates) {
    PieceReader reader("<r>" + std::string(30000, 'x') + "</r>", 10240, false, 20000);
    Ref<Document> document;
    EXPECT_THROW(parser->Parse(reader, document), IOException);
    EXPECT_EQ(Root(Parse("<ok/>"))->GetName(), "ok");
}

TEST_F(ParserTest, LineNumbersCountAcrossChunks) {
    std::string input = "<r>";
    for (int i = 0; i < 5000; ++i) {
        input += "<line>some text</line>\n";
    }
    input += "</wrong>";
    EXPECT_EQ(ErrorLine(input), 5001u);
}

// Data an XML parser normalises on input is written so that it reads back unchanged.
TEST_F(ParserTest, WhitespaceInTextAndAttributesSurvivesARoundTrip) {
    const std::string input =
        "<r a=\"t&#9;n&#10;c&#13;\" s=\"x\ty\nz\">line1&#13;\nline2\r\nline3\rend</r>";
    Ref<Document> document = Parse(input);
    std::string value;
    ASSERT_TRUE(Root(document)->GetAttribute("a", value));
    EXPECT_EQ(value, "t\tn\nc\r");
    ASSERT_TRUE(Root(document)->GetAttribute("s", value));
    EXPECT_EQ(value, "x y z");
    const std::string written = Compact(*document);
    EXPECT_EQ(written, "<r a=\"t&#9;n&#10;c&#13;\" s=\"x y z\">line1&#13;\nline2\nline3\nend</r>");
    Ref<Document> again = Parse(written);
    ASSERT_TRUE(Root(again)->GetAttribute("a", value));
    EXPECT_EQ(value, "t\tn\nc\r");
    EXPECT_EQ(dynamic_cast<TextNode*>(Root(again)->GetFirstChild())->GetValue(),
              "line1\r\nline2\nline3\nend");
    EXPECT_EQ(Compact(*again), written);
}

TEST_F(ParserTest, CDataWithMarkupSurvivesARoundTrip) {
    const std::string input = "<r><![CDATA[<b>&amp; ]] ]>]]><![CDATA[]]]]><![CDATA[>]]></r>";
    Ref<Document> document = Parse(input);
    const std::string written = Compact(*document);
    EXPECT_EQ(written, input);
    EXPECT_EQ(Compact(*Parse(written)), input);
}

// Expat hands over UTF-8 whatever the input's encoding; the document says so.
TEST_F(ParserTest, OtherDeclaredEncodingsAreRecordedAsUtf8) {
    Ref<Document> latin1 =
        Parse("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r v=\"\xe9\">\xe0</r>");
    EXPECT_EQ(latin1->GetEncoding(), "UTF-8");
    const std::string written = Compact(*latin1);
    EXPECT_EQ(written,
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<r v=\"\xc3\xa9\">\xc3\xa0</r>");
    EXPECT_EQ(Compact(*Parse(written)), written);
    EXPECT_EQ(Parse("<?xml version='1.0' encoding='utf-8'?><r/>")->GetEncoding(), "utf-8");
    EXPECT_EQ(Parse("<?xml version='1.0'?><r/>")->GetEncoding(), "");
    const char utf16[] = "\xff\xfe<\0r\0/\0>\0";
    EXPECT_EQ(Compact(*Parse(std::string(utf16, sizeof utf16 - 1))), "<r/>");
}

TEST_F(ParserTest, DeepDocumentIsParsedWalkedAndReleased) {
    RunOnSmallStack([this] {
        constexpr int kDepth = 100000;
        std::string input;
        for (int i = 0; i < kDepth; ++i) {
            input += "<d>";
        }
        input += "x";
        for (int i = 0; i < kDepth; ++i) {
            input += "</d>";
        }
        Ref<Document> document = Parse(input);
        int depth = 0;
        Node* n = document->GetRoot();
        while (n->FindChildElement("d") != nullptr) {
            n = n->FindChildElement("d");
            ++depth;
        }
        EXPECT_EQ(depth, kDepth - 1);
        EXPECT_EQ(dynamic_cast<TextNode*>(n->GetFirstChild())->GetValue(), "x");
        EXPECT_EQ(Compact(*document), input);
        document.Reset();
        // The handler still holds the document it built until the next parse.
        Parse("<small/>");
    });
}

TEST_F(ParserTest, ParsedNodesCanBeEdited) {
    Ref<Document> document = Parse("<p:r b=\"2\" d=\"4\">some text<e k=\"v\"/></p:r>");
    ElementNode* root = Root(document);
    root->SetAttribute("c", "3");
    root->SetAttribute("b", "two, and longer than before");
    root->SetAttribute("a", "");
    root->SetPrefix("");
    root->SetName("renamed");
    auto* text = dynamic_cast<TextNode*>(root->GetFirstChild());
    text->SetValue(text->GetValue() + " and more");
    auto* e = dynamic_cast<ElementNode*>(root->GetLastChild());
    e->SetPrefix("q");
    e->SetAttribute("k", "w");
    EXPECT_EQ(Compact(*document),
              "<renamed a=\"\" b=\"two, and longer than before\" c=\"3\" d=\"4\">some text and "
              "more<q:e k=\"w\"/></renamed>");
}

// Text runs far longer than a slab, interrupted by references every few bytes, still merge
// into one node.
TEST_F(ParserTest, LongTextRunsMergeAcrossSlabs) {
    std::string input = "<r>";
    std::string expected;
    for (int i = 0; i < 20000; ++i) {
        input += "chunk" + std::to_string(i) + "&amp;";
        expected += "chunk" + std::to_string(i) + "&";
    }
    input += "</r><!-- " + std::string(20000, 'c') + " -->";
    Ref<Document> document = Parse(input);
    auto* text = dynamic_cast<TextNode*>(Root(document)->GetFirstChild());
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->GetValue(), expected);
    EXPECT_EQ(Root(document)->GetFirstChild(), Root(document)->GetLastChild());
}

// Nodes of a parsed document share their memory; one held after the document is gone keeps
// its own data (AddressSanitizer reports any use of freed memory here).
TEST_F(ParserTest, NodesOutliveTheirDocument) {
    std::string input = "<r>";
    for (int i = 0; i < 3000; ++i) {
        input += "<item id=\"" + std::to_string(i) + "\" label=\"label number " +
                 std::to_string(i) + "\">text of item " + std::to_string(i) + "</item>";
    }
    input += "</r>";
    Ref<Document> document = Parse(input);
    Ref<Node> first = Root(document)->GetFirstChild();
    Ref<Node> last = Root(document)->GetLastChild();
    Ref<Node> lastText = last->GetFirstChild();
    document.Reset();
    handler.Reset();
    parser.Reset();
    EXPECT_EQ(first->GetParent(), nullptr);
    EXPECT_EQ(last->GetPreviousSibling(), nullptr);
    EXPECT_EQ(FormatString("%1", first),
              "<item id=\"0\" label=\"label number 0\">text of item 0</item>");
    EXPECT_EQ(FormatString("%1", last),
              "<item id=\"2999\" label=\"label number 2999\">text of item 2999</item>");
    EXPECT_EQ(dynamic_cast<TextNode*>(lastText.Get())->GetValue(), "text of item 2999");
    last.Reset();
    EXPECT_EQ(lastText->GetParent(), nullptr);
}

// Documents are built on one thread and released on others, each of them while the builder
// keeps parsing; nodes of one slab die on several threads.
TEST_F(ParserTest, DocumentsReleasedOnOtherThreads) {
    std::string input = "<r>";
    for (int i = 0; i < 2000; ++i) {
        input += "<e a=\"" + std::to_string(i) + "\">t</e>";
    }
    input += "</r>";
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        Ref<Document> document = Parse(input);
        Ref<Node> kept = Root(document)->GetFirstChild();
        threads.emplace_back([document = std::move(document)]() mutable { document.Reset(); });
        threads.emplace_back([kept = std::move(kept)]() mutable {
            EXPECT_EQ(dynamic_cast<ElementNode*>(kept.Get())->GetName(), "e");
            kept.Reset();
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

// Records the events it receives; can be told to throw on one of them.
class RecordingHandler : public XMLHandler, public ObjectImpl {
public:
    void ProcessingInstruction(const std::string&, const std::string&) override {
        events.push_back("pi");
    }
    void StartElement(const std::string& name, const AttributeMap& attributes) override {
        std::string event = "start " + name;
        for (const auto& [k, v] : attributes) {
            event += " " + k + "=" + v;
        }
        Record(event);
    }
    void EndElement(const std::string& name) override { Record("end " + name); }
    void StartCData() override { Record("cdata"); }
    void EndCData() override { Record("/cdata"); }
    void Comment(const std::string& text) override { Record("comment " + text); }
    void CharacterData(std::string_view text) override {
        if (!events.empty() && events.back().rfind("text ", 0) == 0) {
            events.back() += text;
        } else {
            Record("text " + std::string(text));
        }
    }
    void XmlDeclaration(const std::string& version, const std::string& encoding) override {
        Record("decl [" + version + "] [" + encoding + "]");
    }
    void StartDocument(Ref<Document>&) override { Record("document"); }

    void Record(const std::string& event) {
        events.push_back(event);
        if (!throwOn.empty() && event.rfind(throwOn, 0) == 0) {
            throw InvalidStateException();
        }
        if (nested != nullptr && event.rfind("start inner", 0) == 0) {
            Ref<Document> ignored;
            nested->Parse(std::string("<x/>"), ignored);
        }
    }

    std::vector<std::string> events;
    std::string throwOn;
    XMLParser* nested = nullptr;
};

class HandlerEventsTest : public ::testing::Test {
protected:
    HandlerEventsTest() : recorder(new RecordingHandler()) { CreateXMLParser(recorder, parser); }

    Ref<RecordingHandler> recorder;
    Ref<XMLParser> parser;
    Ref<Document> document;
};

TEST_F(HandlerEventsTest, EventsArriveInDocumentOrder) {
    parser->Parse(std::string("<?xml version=\"1.0\"?><?pi x?><a:r z=\"1\" b=\"2\">t<!--c-->"
                              "<![CDATA[d]]></a:r>"),
                  document);
    EXPECT_EQ(recorder->events,
              (std::vector<std::string>{"document", "decl [1.0] []", "start a:r b=2 z=1", "text t",
                                        "comment c", "cdata", "text d", "/cdata", "end a:r"}));
    EXPECT_EQ(document, nullptr);
    EXPECT_EQ(parser->GetHandler(), recorder);
}

TEST_F(HandlerEventsTest, HandlerExceptionStopsTheParseAndPropagates) {
    recorder->throwOn = "start b";
    EXPECT_THROW(parser->Parse(std::string("<a><b/><c/></a>"), document), InvalidStateException);
    EXPECT_EQ(recorder->events, (std::vector<std::string>{"document", "start a", "start b"}));
    recorder->throwOn.clear();
    recorder->events.clear();
    parser->Parse(std::string("<ok/>"), document);
    EXPECT_EQ(recorder->events, (std::vector<std::string>{"document", "start ok", "end ok"}));
}

TEST_F(HandlerEventsTest, ParseFromInsideAHandlerIsRefused) {
    recorder->nested = parser.Get();
    EXPECT_THROW(parser->Parse(std::string("<outer><inner/></outer>"), document),
                 InProgressException);
    recorder->nested = nullptr;
    parser->Parse(std::string("<ok/>"), document);
}

TEST_F(HandlerEventsTest, HandlerCanBeReplaced) {
    Ref<XMLHandler> builder;
    CreateXMLDocHandler(builder);
    parser->SetHandler(builder);
    parser->Parse(std::string("<built/>"), document);
    ASSERT_NE(document, nullptr);
    EXPECT_TRUE(recorder->events.empty());
    parser->SetHandler(nullptr);
    EXPECT_THROW(parser->Parse(std::string("<x/>"), document), InvalidStateException);
}

// The document builder driven by hand follows the same rules as when the parser drives it.
TEST(DocHandlerTest, RootRulesWhenDrivenByHand) {
    Ref<XMLHandler> builder;
    CreateXMLDocHandler(builder);
    Ref<Document> document;
    EXPECT_THROW(builder->EndElement("x"), InvalidStateException);
    builder->StartDocument(document);
    builder->Comment("first");
    EXPECT_EQ(document->GetRoot()->GetType(), NodeType::Comment);
    builder->StartElement("r", AttributeMap{{"k", "v"}});
    builder->CharacterData("a");
    builder->CharacterData("b");
    builder->EndElement("r");
    builder->Comment("after");
    ASSERT_EQ(document->GetRoot()->GetType(), NodeType::Element);
    Ref<StringWriter> out;
    CreateStringWriter(out);
    document->Write(*out);
    EXPECT_EQ(out->ToString(), "<r k=\"v\">ab</r>");
    EXPECT_THROW(builder->EndElement("r"), InvalidStateException);
}

}  // namespace
}  // namespace Tarvos::Xml
