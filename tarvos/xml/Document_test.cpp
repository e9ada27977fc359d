#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"
#include "tarvos/core/StringWriter.h"
#include "tarvos/xml/CDataNode.h"
#include "tarvos/xml/CommentNode.h"
#include "tarvos/xml/Document.h"
#include "tarvos/xml/ElementNode.h"
#include "tarvos/xml/ProcessingInstructionNode.h"
#include "tarvos/xml/TextNode.h"
#include "tarvos/xml/internal/XmlTestSupport.h"

namespace Tarvos::Xml {
namespace {

Ref<ElementNode> Element(const std::string& name, const std::string& prefix = "") {
    Ref<ElementNode> element;
    CreateElementNode(prefix, name, element);
    return element;
}

Ref<TextNode> Text(const std::string& value) {
    Ref<TextNode> text;
    CreateTextNode(text);
    text->SetValue(value);
    return text;
}

// Appends a new element named `name` to `parent` and returns it.
ElementNode* Add(Node* parent, const std::string& name) {
    Ref<ElementNode> child = Element(name);
    parent->AppendChild(child.Get());
    return child.Get();
}

void AddText(Node* parent, const std::string& value) {
    parent->AppendChild(Text(value).Get());
}

template <class T>
std::string Compact(const T& what) {
    Ref<StringWriter> out;
    CreateStringWriter(out);
    what.Write(*out);
    return out->ToString();
}

template <class T>
std::string Pretty(const T& what) {
    Ref<StringWriter> out;
    CreateStringWriter(out);
    what.WritePretty(*out);
    return out->ToString();
}

// The document a(x=1, y=2) { b, c { "t" } } with version 1.0.
class ExampleDocumentTest : public ::testing::Test {
protected:
    ExampleDocumentTest() {
        CreateDocument(document);
        document->SetVersion("1.0");
        Ref<ElementNode> a = Element("a");
        a->SetAttribute("y", "2");
        a->SetAttribute("x", "1");
        Add(a.Get(), "b");
        AddText(Add(a.Get(), "c"), "t");
        document->SetRoot(a.Get());
    }

    Ref<Document> document;
};

TEST_F(ExampleDocumentTest, PrettyFormIsByteExact) {
    EXPECT_EQ(Pretty(*document),
              "<?xml version=\"1.0\"?>\n<a x=\"1\" y=\"2\">\n  <b/>\n  <c>t</c>\n</a>");
}

TEST_F(ExampleDocumentTest, CompactFormIsByteExact) {
    EXPECT_EQ(Compact(*document), "<?xml version=\"1.0\"?>\n<a x=\"1\" y=\"2\"><b/><c>t</c></a>");
}

TEST_F(ExampleDocumentTest, EncodingFollowsTheVersion) {
    document->SetEncoding("UTF-8");
    EXPECT_EQ(Compact(*document).substr(0, 40), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<");
    document->SetVersion("");
    EXPECT_EQ(Compact(*document), "<a x=\"1\" y=\"2\"><b/><c>t</c></a>");
}

TEST_F(ExampleDocumentTest, NodeWritesItsSubtreeOnly) {
    Node* c = document->GetRoot()->FindChildElement("c");
    EXPECT_EQ(Compact(*c), "<c>t</c>");
    EXPECT_EQ(Pretty(*c), "<c>t</c>");
}

TEST(DocumentWriteTest, NothingWithoutRoot) {
    Ref<Document> document;
    CreateDocument(document);
    document->SetVersion("1.0");
    EXPECT_EQ(Compact(*document), "");
    EXPECT_EQ(Pretty(*document), "");
}

TEST(DocumentWriteTest, NonElementRootThrowsAndWritesNothing) {
    Ref<Document> document;
    CreateDocument(document);
    document->SetVersion("1.0");
    Ref<CommentNode> comment;
    CreateCommentNode(comment);
    document->SetRoot(comment.Get());
    Ref<StringWriter> out;
    CreateStringWriter(out);
    EXPECT_THROW(document->Write(*out), TypeMismatchException);
    EXPECT_THROW(document->WritePretty(*out), TypeMismatchException);
    EXPECT_EQ(out->GetLength(), 0);
}

TEST(DocumentWriteTest, SetRootReleasesThePreviousRoot) {
    Ref<Document> document;
    CreateDocument(document);
    Ref<ElementNode> first = Element("first");
    document->SetRoot(first.Get());
    EXPECT_EQ(dynamic_cast<ObjectImpl*>(first.Get())->GetRefCount(), 2);
    document->SetRoot(Element("second").Get());
    EXPECT_EQ(dynamic_cast<ObjectImpl*>(first.Get())->GetRefCount(), 1);
    EXPECT_EQ(Compact(*document), "<second/>");
}

// Pretty mode: line mode only where the first child is an element; an element indents itself
// whenever its level is not negative, also inside mixed content.
TEST(PrettyWriteTest, MixedContentFollowsTheFirstChild) {
    Ref<ElementNode> root = Element("r");
    ElementNode* mixed = Add(root.Get(), "m");
    AddText(mixed, "lead");
    Add(mixed, "e");
    ElementNode* list = Add(root.Get(), "l");
    Add(list, "i");
    AddText(list, "tail");
    EXPECT_EQ(Pretty(*root), "<r>\n  <m>lead    <e/></m>\n  <l>\n    <i/>\ntail\n  </l>\n</r>");
    EXPECT_EQ(Compact(*root), "<r><m>lead<e/></m><l><i/>tail</l></r>");
}

TEST(PrettyWriteTest, PrefixedNamesAndOtherKinds) {
    Ref<ElementNode> root = Element("env", "soap");
    Ref<CommentNode> comment;
    CreateCommentNode(comment);
    comment->SetValue(" a <b> & c ");
    Ref<ProcessingInstructionNode> pi;
    CreateProcessingInstructionNode(pi);
    pi->SetTarget("app");
    pi->SetData("x='1'");
    Add(root.Get(), "body");
    root->AppendChild(comment.Get());
    root->AppendChild(pi.Get());
    EXPECT_EQ(Pretty(*root),
              "<soap:env>\n  <body/>\n<!-- a <b> & c -->\n<?app x='1'?>\n</soap:env>");
}

struct EscapeCase {
    std::string raw;
    std::string text;       // as text content
    std::string attribute;  // as an attribute value
};

class EscapeTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeTest, TextAndAttributeForms) {
    Ref<ElementNode> e = Element("e");
    AddText(e.Get(), GetParam().raw);
    EXPECT_EQ(Compact(*e), "<e>" + GetParam().text + "</e>");
    Ref<ElementNode> a = Element("a");
    a->SetAttribute("v", GetParam().raw);
    EXPECT_EQ(Compact(*a), "<a v=\"" + GetParam().attribute + "\"/>");
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, EscapeTest,
    ::testing::Values(
        EscapeCase{"<>&'\"", "&lt;&gt;&amp;&apos;&quot;", "&lt;&gt;&amp;&apos;&quot;"},
        EscapeCase{"a&b", "a&amp;b", "a&amp;b"}, EscapeCase{std::string("\x07", 1), "%07", "%07"},
        EscapeCase{std::string("\0\x01\x1f", 3), "%00%01%1f", "%00%01%1f"},
        EscapeCase{"a\tb\nc", "a\tb\nc", "a&#9;b&#10;c"},
        EscapeCase{"a\r\nb", "a&#13;\nb", "a&#13;&#10;b"},
        EscapeCase{"%20 \x7f\xc3\xa9\xff", "%20 \x7f\xc3\xa9\xff", "%20 \x7f\xc3\xa9\xff"}));

TEST(CDataWriteTest, ContentIsWrittenUnescaped) {
    Ref<ElementNode> e = Element("e");
    Ref<CDataNode> section;
    CreateCDataNode(section);
    AddText(section.Get(), "<a href='x'>&amp;</a>");
    e->AppendChild(section.Get());
    EXPECT_EQ(Compact(*e), "<e><![CDATA[<a href='x'>&amp;</a>]]></e>");
    EXPECT_EQ(Pretty(*e), "<e><![CDATA[<a href='x'>&amp;</a>]]></e>");
}

TEST(CDataWriteTest, SectionEndInsideContentIsSplit) {
    Ref<CDataNode> section;
    CreateCDataNode(section);
    AddText(section.Get(), "a]]>b]]]>c]>]]");
    EXPECT_EQ(Compact(*section), "<![CDATA[a]]]]><![CDATA[>b]]]]]><![CDATA[>c]>]]]]>");
    // Also when the end marker straddles two text children.
    Ref<CDataNode> split;
    CreateCDataNode(split);
    AddText(split.Get(), "x]]");
    AddText(split.Get(), ">y");
    EXPECT_EQ(Compact(*split), "<![CDATA[x]]]]><![CDATA[>y]]>");
    // Other markup in between ends the bracket run.
    Ref<CDataNode> broken;
    CreateCDataNode(broken);
    AddText(broken.Get(), "]]");
    Ref<CommentNode> comment;
    CreateCommentNode(comment);
    broken->AppendChild(comment.Get());
    AddText(broken.Get(), ">");
    EXPECT_EQ(Compact(*broken), "<![CDATA[]]<!---->>]]>");
}

TEST(CDataWriteTest, EmptySection) {
    Ref<CDataNode> section;
    CreateCDataNode(section);
    EXPECT_EQ(Compact(*section), "<![CDATA[]]>");
}

// A writer that fails on its second piece.
class FailingWriter : public Writer, public ObjectImpl {
public:
    void Write(const char*, int32_t length) override {
        if (++_writes == 2) {
            throw IOException();
        }
        bytes += length;
    }
    void Flush() override {}
    int64_t bytes = 0;

private:
    int _writes = 0;
};

TEST(DocumentWriteTest, WriterFailurePropagates) {
    Ref<ElementNode> root = Element("r");
    for (int i = 0; i < 50000; ++i) {
        AddText(Add(root.Get(), "item"), "some text of the item");
    }
    FailingWriter out;
    EXPECT_THROW(root->Write(out), IOException);
    EXPECT_GT(out.bytes, 0);
}

// Counts what it receives and keeps the last bytes.
class CountingWriter : public Writer, public ObjectImpl {
public:
    void Write(const char* data, int32_t length) override {
        bytes += length;
        const char* const end = data + length;
        for (const char* p = data; p < end; ++p) {
            p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            if (p == nullptr) {
                break;
            }
            ++lines;
        }
        const int32_t keep = length < 64 ? length : 64;
        tail.append(end - keep, static_cast<size_t>(keep));
        if (tail.size() > 64) {
            tail.erase(0, tail.size() - 64);
        }
    }
    void Flush() override {}
    int64_t bytes = 0;
    int64_t lines = 0;
    std::string tail;
};

TEST(DocumentWriteTest, DeepDocumentIsWrittenIteratively) {
    RunOnSmallStack([] {
        constexpr int64_t kDepth = 100000;
        Ref<Document> document;
        CreateDocument(document);
        Ref<ElementNode> root = Element("d");
        document->SetRoot(root.Get());
        Node* deepest = root.Get();
        for (int i = 1; i < kDepth; ++i) {
            deepest = Add(deepest, "d");
        }
        AddText(deepest, "x");
        const std::string compact = Compact(*document);
        EXPECT_EQ(compact.size(), kDepth * 7 + 1u);
        EXPECT_EQ(compact.substr(kDepth * 3 - 6, 14), "<d><d>x</d></d");
        // Pretty: every element but the innermost opens and closes on lines of its own, indented
        // two spaces per level, which makes the text quadratic in the depth (about 20 GB here).
        CountingWriter pretty;
        document->WritePretty(pretty);
        EXPECT_EQ(pretty.bytes, 2 * (kDepth - 1) * (kDepth - 2) + 11 * (kDepth - 1) + 8);
        EXPECT_EQ(pretty.lines, 2 * (kDepth - 1));
        EXPECT_EQ(pretty.tail.substr(pretty.tail.size() - 11), "  </d>\n</d>");
    });
}

}  // namespace
}  // namespace Tarvos::Xml
