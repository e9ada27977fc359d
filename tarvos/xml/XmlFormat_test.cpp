#include <string>

#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"
#include "tarvos/core/Format.h"
#include "tarvos/core/StringWriter.h"
#include "tarvos/xml/CommentNode.h"
#include "tarvos/xml/Document.h"
#include "tarvos/xml/ElementNode.h"
#include "tarvos/xml/TextNode.h"

namespace Tarvos::Xml {
namespace {

class XmlFormatTest : public ::testing::Test {
protected:
    XmlFormatTest() {
        CreateElementNode("p", "item", element);
        element->SetAttribute("id", "7");
        CreateTextNode(text);
        text->SetValue("a<b");
        element->AppendChild(text.Get());
        CreateDocument(document);
        document->SetVersion("1.0");
        document->SetRoot(element.Get());
    }

    Ref<ElementNode> element;
    Ref<TextNode> text;
    Ref<Document> document;
};

TEST_F(XmlFormatTest, NodesPrintTheirCompactXml) {
    const std::string expected = "<p:item id=\"7\">a&lt;b</p:item>";
    EXPECT_EQ(FormatString("node %1", element), "node " + expected);
    EXPECT_EQ(FormatString("%1", element.Get()), expected);
    const ElementNode* constElement = element.Get();
    EXPECT_EQ(FormatString("%1", constElement), expected);
    Ref<Node> asNode = element;
    EXPECT_EQ(FormatString("%1|%2", asNode, asNode->GetFirstChild()), expected + "|a&lt;b");
    EXPECT_EQ(FormatString("%1", text), "a&lt;b");
}

TEST_F(XmlFormatTest, DocumentsPrintDeclarationAndRoot) {
    EXPECT_EQ(FormatString("%1", document),
              "<?xml version=\"1.0\"?>\n<p:item id=\"7\">a&lt;b</p:item>");
    Ref<StringWriter> out;
    CreateStringWriter(out);
    Format(*out, "[%1]", document.Get());
    EXPECT_EQ(out->ToString(), "[<?xml version=\"1.0\"?>\n<p:item id=\"7\">a&lt;b</p:item>]");
}

TEST_F(XmlFormatTest, NullPrintsNull) {
    EXPECT_EQ(FormatString("%1 %2", Ref<ElementNode>(), static_cast<Document*>(nullptr)),
              "(null) (null)");
}

TEST_F(XmlFormatTest, DocumentWithoutElementRootFailsTheFormatting) {
    Ref<CommentNode> comment;
    CreateCommentNode(comment);
    document->SetRoot(comment.Get());
    EXPECT_THROW(FormatString("%1", document), TypeMismatchException);
}

}  // namespace
}  // namespace Tarvos::Xml
