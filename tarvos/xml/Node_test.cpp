#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"
#include "tarvos/xml/ElementNode.h"
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

int32_t RefCountOf(Node* node) {
    return dynamic_cast<ObjectImpl*>(node)->GetRefCount();
}

// Checks every link invariant of `parent`'s child list and returns the children's labels (local
// name of elements, value of text nodes, "#" and the type for others), in order.
std::vector<std::string> Children(Node* parent) {
    std::vector<std::string> labels;
    EXPECT_EQ(parent->GetFirstChild() == nullptr, parent->GetLastChild() == nullptr);
    Node* previous = nullptr;
    for (Node* c = parent->GetFirstChild(); c != nullptr; c = c->GetNextSibling()) {
        EXPECT_EQ(c->GetParent(), parent);
        EXPECT_EQ(c->GetPreviousSibling(), previous);
        if (c->GetNextSibling() == nullptr) {
            EXPECT_EQ(parent->GetLastChild(), c);
        }
        if (auto* e = dynamic_cast<ElementNode*>(c)) {
            labels.push_back(e->GetName());
        } else if (auto* t = dynamic_cast<TextNode*>(c)) {
            labels.push_back(t->GetValue());
        } else {
            labels.push_back("#" + std::to_string(static_cast<int>(c->GetType())));
        }
        previous = c;
        if (labels.size() > 1000) {
            ADD_FAILURE() << "sibling chain does not end";
            break;
        }
    }
    EXPECT_EQ(parent->GetLastChild(), previous);
    return labels;
}

// A node is detached: no parent and no siblings.
void ExpectDetached(Node* node) {
    EXPECT_EQ(node->GetParent(), nullptr);
    EXPECT_EQ(node->GetNextSibling(), nullptr);
    EXPECT_EQ(node->GetPreviousSibling(), nullptr);
}

using Labels = std::vector<std::string>;

// A parent p with the element children a, b, c.
class TreeEditTest : public ::testing::Test {
protected:
    TreeEditTest() : p(Element("p")), a(Element("a")), b(Element("b")), c(Element("c")) {
        p->AppendChild(a.Get());
        p->AppendChild(b.Get());
        p->AppendChild(c.Get());
    }

    Ref<ElementNode> p, a, b, c;
};

TEST_F(TreeEditTest, AppendLinksChildrenInOrder) {
    EXPECT_EQ(Children(p.Get()), (Labels{"a", "b", "c"}));
    EXPECT_EQ(p->GetFirstChild(), a.Get());
    EXPECT_EQ(p->GetParent(), nullptr);
}

TEST_F(TreeEditTest, InsertAfterMiddleAndLast) {
    Ref<ElementNode> x = Element("x"), y = Element("y");
    p->InsertAfter(x.Get(), a.Get());
    p->InsertAfter(y.Get(), c.Get());
    EXPECT_EQ(Children(p.Get()), (Labels{"a", "x", "b", "c", "y"}));
}

TEST_F(TreeEditTest, InsertBeforeMiddleAndFirst) {
    Ref<ElementNode> x = Element("x"), y = Element("y");
    p->InsertBefore(x.Get(), c.Get());
    p->InsertBefore(y.Get(), a.Get());
    EXPECT_EQ(Children(p.Get()), (Labels{"y", "a", "b", "x", "c"}));
    EXPECT_EQ(p->GetFirstChild(), y.Get());
}

TEST_F(TreeEditTest, RemoveFirstMiddleLastAndOnly) {
    p->RemoveChild(b.Get());
    EXPECT_EQ(Children(p.Get()), (Labels{"a", "c"}));
    ExpectDetached(b.Get());
    p->RemoveChild(a.Get());
    EXPECT_EQ(Children(p.Get()), (Labels{"c"}));
    p->RemoveChild(c.Get());
    EXPECT_EQ(Children(p.Get()), Labels{});
    ExpectDetached(a.Get());
    ExpectDetached(c.Get());
}

TEST_F(TreeEditTest, RemovedChildIsNoLongerHeldByTheTree) {
    EXPECT_EQ(RefCountOf(b.Get()), 2);
    p->RemoveChild(b.Get());
    EXPECT_EQ(RefCountOf(b.Get()), 1);
}

TEST_F(TreeEditTest, MovesWithinTheSameParent) {
    p->AppendChild(a.Get());
    EXPECT_EQ(Children(p.Get()), (Labels{"b", "c", "a"}));
    p->InsertBefore(a.Get(), b.Get());
    EXPECT_EQ(Children(p.Get()), (Labels{"a", "b", "c"}));
    p->InsertAfter(a.Get(), c.Get());
    EXPECT_EQ(Children(p.Get()), (Labels{"b", "c", "a"}));
    // Neighbours swapping places: the new child is the reference's current neighbour.
    p->InsertAfter(b.Get(), c.Get());
    EXPECT_EQ(Children(p.Get()), (Labels{"c", "b", "a"}));
    p->InsertBefore(a.Get(), b.Get());
    EXPECT_EQ(Children(p.Get()), (Labels{"c", "a", "b"}));
    EXPECT_EQ(RefCountOf(a.Get()), 2);
}

TEST_F(TreeEditTest, MovesBetweenParents) {
    Ref<ElementNode> q = Element("q");
    q->AppendChild(b.Get());
    EXPECT_EQ(Children(p.Get()), (Labels{"a", "c"}));
    EXPECT_EQ(Children(q.Get()), (Labels{"b"}));
    Ref<ElementNode> r = Element("r");
    r->AppendChild(Element("s").Get());
    r->InsertBefore(c.Get(), r->GetFirstChild());
    EXPECT_EQ(Children(p.Get()), (Labels{"a"}));
    EXPECT_EQ(Children(r.Get()), (Labels{"c", "s"}));
    EXPECT_EQ(RefCountOf(b.Get()), 2);
}

TEST_F(TreeEditTest, InsertingANodeRelativeToItselfChangesNothing) {
    p->InsertAfter(b.Get(), b.Get());
    p->InsertBefore(b.Get(), b.Get());
    EXPECT_EQ(Children(p.Get()), (Labels{"a", "b", "c"}));
}

TEST_F(TreeEditTest, RemovingANonChildThrowsAndChangesNothing) {
    Ref<ElementNode> stranger = Element("s");
    Ref<ElementNode> grandchild = Element("g");
    b->AppendChild(grandchild.Get());
    EXPECT_THROW(p->RemoveChild(stranger.Get()), InvalidArgumentException);
    EXPECT_THROW(p->RemoveChild(grandchild.Get()), InvalidArgumentException);
    EXPECT_THROW(p->RemoveChild(nullptr), InvalidArgumentException);
    EXPECT_THROW(p->RemoveChild(p.Get()), InvalidArgumentException);
    EXPECT_EQ(Children(p.Get()), (Labels{"a", "b", "c"}));
    EXPECT_EQ(Children(b.Get()), (Labels{"g"}));
}

TEST_F(TreeEditTest, InsertingRelativeToANonChildThrowsAndChangesNothing) {
    Ref<ElementNode> stranger = Element("s");
    Ref<ElementNode> x = Element("x");
    EXPECT_THROW(p->InsertAfter(x.Get(), stranger.Get()), InvalidArgumentException);
    EXPECT_THROW(p->InsertBefore(b.Get(), stranger.Get()), InvalidArgumentException);
    EXPECT_EQ(Children(p.Get()), (Labels{"a", "b", "c"}));
    ExpectDetached(x.Get());
}

TEST_F(TreeEditTest, CyclesAreRefused) {
    Ref<ElementNode> g = Element("g");
    b->AppendChild(g.Get());
    EXPECT_THROW(p->AppendChild(p.Get()), InvalidArgumentException);
    EXPECT_THROW(g->AppendChild(p.Get()), InvalidArgumentException);
    EXPECT_THROW(g->AppendChild(b.Get()), InvalidArgumentException);
    EXPECT_THROW(b->InsertBefore(p.Get(), g.Get()), InvalidArgumentException);
    EXPECT_EQ(Children(p.Get()), (Labels{"a", "b", "c"}));
    EXPECT_EQ(Children(b.Get()), (Labels{"g"}));
    // Moving a subtree to an unrelated place is fine.
    a->AppendChild(b.Get());
    EXPECT_EQ(Children(a.Get()), (Labels{"b"}));
}

TEST_F(TreeEditTest, ChildOutlivingItsParentIsDetached) {
    b->AppendChild(Text("inside").Get());
    p.Reset();
    ExpectDetached(a.Get());
    ExpectDetached(b.Get());
    ExpectDetached(c.Get());
    EXPECT_EQ(Children(b.Get()), (Labels{"inside"}));
    EXPECT_EQ(RefCountOf(b.Get()), 1);
}

// Nodes of another implementation are refused by an assertion.
class ForeignNode : public Node, public ObjectImpl {
public:
    Node* GetParent() const override { return nullptr; }
    Node* GetFirstChild() const override { return nullptr; }
    Node* GetLastChild() const override { return nullptr; }
    Node* GetNextSibling() const override { return nullptr; }
    Node* GetPreviousSibling() const override { return nullptr; }
    void AppendChild(Node*) override {}
    void InsertAfter(Node*, Node*) override {}
    void InsertBefore(Node*, Node*) override {}
    void RemoveChild(Node*) override {}
    NodeType GetType() const override { return NodeType::Element; }
    void Write(Writer&) const override {}
    void WritePretty(Writer&) const override {}
    Node* FindChildElement(const std::string&) const override { return nullptr; }
    Node* FindNextSiblingElement(const std::string&) const override { return nullptr; }
};

TEST(TreeEditDeathTest, ForeignNodeIsAnAssertionFailure) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Ref<ElementNode> p = Element("p");
    Ref<ForeignNode> foreign(new ForeignNode());
    EXPECT_EXIT(p->AppendChild(foreign.Get()), ::testing::ExitedWithCode(255), "Assert failed");
    Ref<ElementNode> a = Element("a");
    p->AppendChild(a.Get());
    EXPECT_EXIT(p->InsertBefore(foreign.Get(), a.Get()), ::testing::ExitedWithCode(255),
                "Assert failed");
}

TEST(ElementSearchTest, FindsElementsByLocalNameOnly) {
    Ref<ElementNode> p = Element("p");
    Ref<TextNode> text = Text("item");
    Ref<ElementNode> first = Element("item", "ns");
    Ref<ElementNode> other = Element("other");
    Ref<ElementNode> second = Element("item");
    Ref<ElementNode> nested = Element("deep");
    p->AppendChild(text.Get());
    p->AppendChild(first.Get());
    p->AppendChild(other.Get());
    p->AppendChild(second.Get());
    other->AppendChild(nested.Get());

    EXPECT_EQ(p->FindChildElement("item"), first.Get());
    EXPECT_EQ(first->FindNextSiblingElement("item"), second.Get());
    EXPECT_EQ(second->FindNextSiblingElement("item"), nullptr);
    EXPECT_EQ(text->FindNextSiblingElement("other"), other.Get());
    EXPECT_EQ(p->FindChildElement("deep"), nullptr);
    EXPECT_EQ(p->FindChildElement("ns:item"), nullptr);
    EXPECT_EQ(p->FindChildElement("ite"), nullptr);
}

TEST(ElementNodeTest, AttributesAreSortedUniqueAndCopied) {
    Ref<ElementNode> e = Element("e");
    e->SetAttribute("zeta", "1");
    e->SetAttribute("alpha", "2");
    e->SetAttribute("mid", "3");
    e->SetAttribute("alpha", "4");
    AttributeMap all{{"stale", "x"}};
    e->GetAttributes(all);
    EXPECT_EQ(all, (AttributeMap{{"alpha", "4"}, {"mid", "3"}, {"zeta", "1"}}));
    std::string value = "untouched";
    EXPECT_FALSE(e->GetAttribute("missing", value));
    EXPECT_EQ(value, "untouched");
    EXPECT_TRUE(e->GetAttribute("mid", value));
    EXPECT_EQ(value, "3");
}

// Trees far deeper and wider than any stack could recurse through are built, walked and
// released on a thread with a small stack.
TEST(LargeTreeTest, DeepChainIsReleasedWithoutRecursion) {
    RunOnSmallStack([] {
        constexpr int kDepth = 100000;
        Ref<ElementNode> root = Element("d");
        Node* deepest = root.Get();
        for (int i = 0; i < kDepth; ++i) {
            Ref<ElementNode> child = Element("d");
            deepest->AppendChild(child.Get());
            deepest = child.Get();
        }
        int depth = 0;
        for (Node* n = deepest; n->GetParent() != nullptr; n = n->GetParent()) {
            ++depth;
        }
        EXPECT_EQ(depth, kDepth);
        root.Reset();
    });
}

TEST(LargeTreeTest, LongSiblingChainIsReleasedWithoutRecursion) {
    RunOnSmallStack([] {
        Ref<ElementNode> root = Element("r");
        for (int i = 0; i < 300000; ++i) {
            root->AppendChild(Element("c").Get());
        }
        root.Reset();
    });
}

TEST(LargeTreeTest, DeepSubtreeHeldByTheCallerSurvivesItsAncestors) {
    RunOnSmallStack([] {
        Ref<ElementNode> root = Element("d");
        Node* deepest = root.Get();
        Ref<Node> middle;
        for (int i = 0; i < 50000; ++i) {
            Ref<ElementNode> child = Element("d");
            deepest->AppendChild(child.Get());
            deepest = child.Get();
            if (i == 25000) {
                middle = child;
            }
        }
        root.Reset();
        ExpectDetached(middle.Get());
        int depth = 0;
        for (Node* n = deepest; n->GetParent() != nullptr; n = n->GetParent()) {
            ++depth;
        }
        EXPECT_EQ(depth, 50000 - 25001);
    });
}

}  // namespace
}  // namespace Tarvos::Xml
