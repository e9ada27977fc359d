#include "tarvos/service/ConfigBase.h"

#include <atomic>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"
#include "tarvos/core/StringReader.h"
#include "tarvos/core/StringWriter.h"
#include "tarvos/service/ConfigFactory.h"

namespace Tarvos::Service {
namespace {

using Names = std::vector<std::string>;
using Node = ConfigBase::Node;

// Runs `action` and expects an exception of type E whose message is exactly `message`.
template <class E>
void ExpectThrowWithMessage(const std::function<void()>& action, const std::string& message) {
    try {
        action();
        ADD_FAILURE() << "no exception, expected: " << message;
    } catch (const E& e) {
        EXPECT_EQ(e.GetMessage(), message);
    }
}

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        CreateScratchConfig(_config);
        _config->GetRootView(_root);
    }

    Ref<Config::View> ViewOf(const std::string& path) {
        Ref<Config::View> view;
        _root->GetView(path, view);
        return view;
    }
    Names Children(const std::string& path) {
        Names names;
        EXPECT_TRUE(_root->GetChildNames(path, names));
        return names;
    }
    std::string Get(const std::string& path) {
        std::string value = "<none>";
        _root->GetString(path, value);
        return value;
    }

    Ref<Config> _config;
    Ref<Config::View> _root;
};

// ---------------------------------------------------------------------------------------------
// Path syntax and the node order

TEST_F(ConfigTest, SlashRunsAndLeadingSlashesAreSkipped) {
    _root->Set("a//b/", "1");
    EXPECT_EQ(Get("/a/b"), "1");
    EXPECT_EQ(Get("a/b"), "1");
    EXPECT_EQ(Get("///a///b//"), "1");
    EXPECT_EQ(Children(""), (Names{"a"}));
    EXPECT_EQ(Children("/"), (Names{"a"}));
}

TEST_F(ConfigTest, KeyedAndUnkeyedElementsAreDifferentNodes) {
    _root->Set("a[x]/b", "keyed");
    _root->Set("a/b", "plain");
    _root->Set("a[]/b", "empty key");
    EXPECT_EQ(Get("a[x]/b"), "keyed");
    EXPECT_EQ(Get("a/b"), "plain");
    EXPECT_EQ(Get("a[]/b"), "empty key");
    EXPECT_FALSE(_root->Exists("a[y]/b"));
}

TEST_F(ConfigTest, MalformedElementsThrowInvalidArgument) {
    for (const char* path : {"a[x", "a[x]b", "ok/a[x", "[x]", "a]["}) {
        SCOPED_TRACE(path);
        ExpectThrowWithMessage<InvalidArgumentException>([&] { _root->Exists(path); },
                                                         "Invalid argument");
        EXPECT_THROW(_root->Set(path, "v"), InvalidArgumentException);
        Ref<Config::View> view;
        EXPECT_THROW(_root->GetView(path, view), InvalidArgumentException);
    }
    // A refused path creates nothing.
    EXPECT_EQ(Children(""), Names{});
    // A "]" without "[" is part of the name.
    _root->Set("a]", "1");
    EXPECT_EQ(Get("a]"), "1");
}

TEST_F(ConfigTest, ChildrenAreOrderedByNameThenKeyWithUnkeyedFirst) {
    for (const char* path : {"b", "a[2]", "c", "a[10]", "a", "B", "a[1]"}) {
        _root->Set(path, path);
    }
    EXPECT_EQ(Children(""), (Names{"B", "a", "a[1]", "a[10]", "a[2]", "b", "c"}));
    Names named;
    EXPECT_TRUE(_root->GetChildNames("", "a", named));
    EXPECT_EQ(named, (Names{"a", "a[1]", "a[10]", "a[2]"}));
    EXPECT_TRUE(_root->GetChildNames("", "zz", named));
    EXPECT_EQ(named, Names{});
    // Each lookup finds exactly its own node.
    EXPECT_EQ(Get("a[10]"), "a[10]");
    EXPECT_EQ(Get("a"), "a");
}

TEST_F(ConfigTest, ChildNamesOfMissingNodeClearsOutputAndReturnsFalse) {
    Names names{"stale"};
    EXPECT_FALSE(_root->GetChildNames("missing", names));
    EXPECT_TRUE(names.empty());
    names = {"stale"};
    EXPECT_FALSE(_root->GetChildNames("missing", "x", names));
    EXPECT_TRUE(names.empty());
}

// ---------------------------------------------------------------------------------------------
// Set and its errors

TEST_F(ConfigTest, CreatingBelowAValueNamesTheElementAndValue) {
    _root->Set("a/b", "1");
    ExpectThrowWithMessage<InvalidArgumentException>(
        [&] { _root->Set("a/b/c", "2"); },
        "Invalid argument : Cannot create path a/b/c. Element b already has value 1");
    _root->Set("k[7]", "v");
    ExpectThrowWithMessage<InvalidArgumentException>(
        [&] { _root->Set("k[7]/x/y", "2"); },
        "Invalid argument : Cannot create path k[7]/x/y. Element k[7] already has value v");
    EXPECT_EQ(Get("a/b"), "1");
}

TEST_F(ConfigTest, SettingANodeWithChildrenFails) {
    _root->Set("a/b", "2");
    ExpectThrowWithMessage<InvalidArgumentException>(
        [&] { _root->Set("a", "1"); },
        "Invalid argument : Config::View::Set failed. Node a already has a child.");
    EXPECT_EQ(Get("a/b"), "2");
    EXPECT_EQ(Get("a"), "<none>");
}

TEST_F(ConfigTest, SetReplacesValuesAndPathStepsHaveNone) {
    _root->SetString("x", "old");
    _root->Set("x", "new");
    _root->Set("e", "");
    _root->Set("a/b/c", "1");
    EXPECT_EQ(Get("x"), "new");
    EXPECT_EQ(Get("e"), "");
    EXPECT_TRUE(_root->Exists("a/b"));
    std::string value = "unchanged";
    EXPECT_FALSE(_root->GetString("a/b", value));
    EXPECT_EQ(value, "unchanged");
}

// ---------------------------------------------------------------------------------------------
// Typed getters and setters

TEST_F(ConfigTest, MissingPathLeavesEveryOutputUnchanged) {
    int32_t i = 5;
    int64_t l = 6;
    double d = 7.5;
    bool b = true;
    std::string s = "s";
    EXPECT_FALSE(_root->GetInt("nope", i));
    EXPECT_FALSE(_root->GetInt64("nope", l));
    EXPECT_FALSE(_root->GetDouble("nope", d));
    EXPECT_FALSE(_root->GetBool("nope", b));
    EXPECT_FALSE(_root->GetString("nope", s));
    EXPECT_EQ(i, 5);
    EXPECT_EQ(l, 6);
    EXPECT_EQ(d, 7.5);
    EXPECT_TRUE(b);
    EXPECT_EQ(s, "s");
}

enum class Getter { Int, Int64, Double, Bool };

struct Conversion {
    Getter getter;
    std::string text;
    double expected;     // when no error is expected
    const char* error;   // expected NumberFormatException message, or null
    bool range = false;  // expect NumberRangeException
};

void PrintTo(const Conversion& c, std::ostream* out) {
    static const char* const kGetters[] = {"GetInt", "GetInt64", "GetDouble", "GetBool"};
    *out << kGetters[static_cast<int>(c.getter)] << " of \"";
    for (const char ch : c.text) {
        if (ch >= ' ') {
            *out << ch;
        } else {
            *out << "\\x" << static_cast<int>(ch);
        }
    }
    *out << "\"";
}

class ConversionTest : public ConfigTest, public ::testing::WithParamInterface<Conversion> {
protected:
    double Convert() {
        const Conversion& c = GetParam();
        switch (c.getter) {
            case Getter::Int: {
                int32_t v = -99;
                EXPECT_TRUE(_root->GetInt("v", v));
                return v;
            }
            case Getter::Int64: {
                int64_t v = -99;
                EXPECT_TRUE(_root->GetInt64("v", v));
                return static_cast<double>(v);
            }
            case Getter::Double: {
                double v = -99;
                EXPECT_TRUE(_root->GetDouble("v", v));
                return v;
            }
            case Getter::Bool: {
                bool v = false;
                EXPECT_TRUE(_root->GetBool("v", v));
                return v ? 1 : 0;
            }
        }
        return 0;
    }
};

TEST_P(ConversionTest, ConvertsWholeTextOrThrows) {
    const Conversion& c = GetParam();
    _root->Set("v", c.text);
    if (c.range) {
        EXPECT_THROW(Convert(), NumberRangeException);
    } else if (c.error != nullptr) {
        ExpectThrowWithMessage<NumberFormatException>([&] { Convert(); }, c.error);
    } else {
        EXPECT_EQ(Convert(), c.expected);
    }
}

constexpr char kNotInt[] = "Config Value not an integer";
constexpr char kNotBool[] = "Config Value not a boolean";
constexpr char kNotDouble[] = "Config value not a double";

INSTANTIATE_TEST_SUITE_P(
    Getters, ConversionTest,
    ::testing::Values(
        Conversion{Getter::Int, "42", 42, nullptr},
        Conversion{Getter::Int, "-2147483648", -2147483648.0, nullptr},
        Conversion{Getter::Int, "", 0, nullptr}, Conversion{Getter::Int, " 17", 17, nullptr},
        Conversion{Getter::Int, "12x", 0, kNotInt}, Conversion{Getter::Int, "12 ", 0, kNotInt},
        Conversion{Getter::Int, "0x10", 0, kNotInt},
        Conversion{Getter::Int,
                   std::string("1\0"
                               "2",
                               3),
                   0, kNotInt},
        Conversion{Getter::Int, "2147483648", 0, nullptr, true},
        Conversion{Getter::Int, "-2147483649", 0, nullptr, true},
        Conversion{Getter::Int64, "9223372036854775807", 9223372036854775807.0, nullptr},
        Conversion{Getter::Int64, "9223372036854775808", 0, nullptr, true},
        Conversion{Getter::Int64, "1.5", 0, kNotInt},
        Conversion{Getter::Double, "1.5", 1.5, nullptr},
        Conversion{Getter::Double, "-2e3", -2000, nullptr},
        Conversion{Getter::Double, "", 0, nullptr},
        Conversion{Getter::Double, "1.5x", 0, kNotDouble},
        Conversion{Getter::Double, "1,5", 0, kNotDouble},
        Conversion{Getter::Bool, "TRUE", 1, nullptr}, Conversion{Getter::Bool, "fAlSe", 0, nullptr},
        Conversion{Getter::Bool, "yes", 0, kNotBool}, Conversion{Getter::Bool, "", 0, kNotBool},
        Conversion{Getter::Bool, "true ", 0, kNotBool}));

TEST_F(ConfigTest, TypedSettersWriteTheirTextForms) {
    _root->SetDouble("d1", 0.1);
    _root->SetDouble("d2", 123456789.0);
    _root->SetDouble("d3", 1e-5);
    _root->SetDouble("d4", 2.0);
    _root->SetInt64("l", -9223372036854775807LL - 1);
    _root->SetInt("i", -2147483647 - 1);
    _root->SetBool("t", true);
    _root->SetBool("f", false);
    EXPECT_EQ(Get("d1"), "0.1");
    EXPECT_EQ(Get("d2"), "1.23457e+08");
    EXPECT_EQ(Get("d3"), "1e-05");
    EXPECT_EQ(Get("d4"), "2");
    EXPECT_EQ(Get("l"), "-9223372036854775808");
    EXPECT_EQ(Get("i"), "-2147483648");
    EXPECT_EQ(Get("t"), "true");
    EXPECT_EQ(Get("f"), "false");
    int64_t l = 0;
    EXPECT_TRUE(_root->GetInt64("l", l));
    EXPECT_EQ(l, -9223372036854775807LL - 1);
}

// ---------------------------------------------------------------------------------------------
// Remove

TEST_F(ConfigTest, RemoveTakesAncestorsLeftEmptyButNotSiblings) {
    _root->Set("a/b/c", "1");
    _root->Set("z/x", "2");
    _root->Set("z/y", "3");
    EXPECT_TRUE(_root->Remove("a/b/c"));
    EXPECT_FALSE(_root->Exists("a"));
    EXPECT_TRUE(_root->Remove("z/x"));
    EXPECT_EQ(Children(""), (Names{"z"}));
    EXPECT_EQ(Children("z"), (Names{"y"}));
    EXPECT_FALSE(_root->Remove("z/x"));
    EXPECT_FALSE(_root->Remove("q/r"));
}

TEST_F(ConfigTest, RemoveClimbsPastTheViewsBasePath) {
    _root->Set("a/b/c/d", "1");
    _root->Set("x", "2");
    Ref<Config::View> view = ViewOf("a/b");
    EXPECT_TRUE(view->Remove("c/d"));
    EXPECT_FALSE(_root->Exists("a"));
    EXPECT_FALSE(view->Exists(""));
}

TEST_F(ConfigTest, RemovingRootEmptiesTheTreeAndItStaysUsable) {
    _root->Set("a/b", "1");
    _root->Set("c", "2");
    EXPECT_TRUE(_root->Remove("/"));
    EXPECT_EQ(Children(""), Names{});
    EXPECT_TRUE(_root->Exists(""));
    _root->Set("a", "3");
    EXPECT_EQ(Get("a"), "3");
}

// ---------------------------------------------------------------------------------------------
// Views

TEST_F(ConfigTest, ViewOfMissingPathIsValidAndFirstSetCreatesIt) {
    Ref<Config::View> view;
    EXPECT_FALSE(_root->GetView("svc/http", view));
    ASSERT_TRUE(view);
    EXPECT_FALSE(view->Exists(""));
    view->SetInt("port", 8080);
    EXPECT_EQ(Get("svc/http/port"), "8080");
    Ref<Config::View> again;
    EXPECT_TRUE(_root->GetView("svc/http", again));
    Ref<Config::View> nested;
    EXPECT_TRUE(ViewOf("svc")->GetView("http/port", nested));
    std::string value;
    EXPECT_TRUE(nested->GetString("", value));
    EXPECT_EQ(value, "8080");
}

TEST_F(ConfigTest, GetBaseNodeCreatesThePathAndIsTheTreesNode) {
    Ref<Config::View> view = ViewOf("p/q");
    Ref<Node> node = RefCast<Node>(view->GetBaseNode());
    ASSERT_TRUE(node);
    EXPECT_TRUE(_root->Exists("p/q"));
    EXPECT_EQ(node->GetPath(), "/p/q");
    node->SetValue("direct");
    EXPECT_EQ(Get("p/q"), "direct");
}

TEST_F(ConfigTest, ViewTakenBeforeARemovalSeesTheRecreatedPath) {
    _root->Set("app/name", "old");
    Ref<Config::View> app = ViewOf("app");
    std::string value;
    ASSERT_TRUE(app->GetString("name", value));

    // As a reload does: empty the tree, then fill it again.
    _root->Remove("/");
    EXPECT_FALSE(app->GetString("name", value));
    _root->Set("app/name", "new");
    ASSERT_TRUE(app->GetString("name", value));
    EXPECT_EQ(value, "new");

    // Writing through the view after its node was removed lands in the tree, not in the
    // detached node.
    _root->Remove("app");
    app->Set("port", "1");
    EXPECT_EQ(Get("app/port"), "1");
}

TEST_F(ConfigTest, AViewKeepsTheTreeAliveAndDestructionTakesTheTreeApart) {
    _root->Set("a/b/c", "1");
    Ref<Config::View> view = ViewOf("a");
    Ref<Node> leaf = RefCast<Node>(ViewOf("a/b/c")->GetBaseNode());
    Ref<Node> root = RefCast<ConfigBase>(_config)->GetRoot();
    _config = nullptr;
    _root = nullptr;
    std::string value;
    ASSERT_TRUE(view->GetString("b/c", value));
    EXPECT_EQ(value, "1");
    EXPECT_TRUE(leaf->GetParent());

    view = nullptr;
    // The configuration is gone: its nodes hold no references to each other any more.
    EXPECT_FALSE(leaf->GetParent());
    EXPECT_FALSE(root->HasChildren());
    EXPECT_EQ(root->GetRefCount(), 1);
    EXPECT_EQ(leaf->GetRefCount(), 1);
}

TEST_F(ConfigTest, ConcurrentReadersShareOneFreshView) {
    for (int round = 0; round < 20; ++round) {
        // The view is taken while its path is missing, so the readers race to fill its cache.
        _root->Remove("app");
        Ref<Config::View> shared = ViewOf("app");
        for (int i = 0; i < 50; ++i) {
            _root->SetInt("app/item[" + std::to_string(i) + "]", i);
        }
        std::atomic<int> wrong{0};
        std::vector<std::thread> readers;
        for (int t = 0; t < 4; ++t) {
            readers.emplace_back([&] {
                for (int i = 0; i < 50; ++i) {
                    int32_t v = -1;
                    if (!shared->GetInt("item[" + std::to_string(i) + "]", v) || v != i) {
                        ++wrong;
                    }
                    Ref<Config::View> sub;
                    shared->GetView("item[0]", sub);
                }
            });
        }
        for (std::thread& reader : readers) {
            reader.join();
        }
        EXPECT_EQ(wrong.load(), 0);
    }
}

// ---------------------------------------------------------------------------------------------
// CopyFrom and Insert

// A view that is not one of the library's.
class ForeignView : public Config::View, public ObjectImpl {
public:
    bool GetString(const std::string&, std::string&) override { return false; }
    bool GetDouble(const std::string&, double&) override { return false; }
    bool GetBool(const std::string&, bool&) override { return false; }
    bool GetInt64(const std::string&, int64_t&) override { return false; }
    bool GetInt(const std::string&, int32_t&) override { return false; }
    void SetDouble(const std::string&, double) override {}
    void SetBool(const std::string&, bool) override {}
    void SetInt64(const std::string&, int64_t) override {}
    void SetInt(const std::string&, int32_t) override {}
    void SetString(const std::string&, const std::string&) override {}
    void Set(const std::string&, const std::string&) override {}
    bool Remove(const std::string&) override { return false; }
    bool Exists(const std::string&) override { return false; }
    bool GetView(const std::string&, Ref<View>&) override { return false; }
    void CopyFrom(const std::string&, const Ref<View>&) override {}
    bool GetChildNames(const std::string&, const std::string&, Names&) override { return false; }
    bool GetChildNames(const std::string&, Names&) override { return false; }
    void Insert(const std::string&, const Ref<Config>&) override {}
    void GetNextKey(const std::string&, std::string&) override {}
    Ref<Object> GetBaseNode() override { return nullptr; }
};

class ForeignConfig : public Config, public ObjectImpl {
public:
    void Load() override {}
    void Save() override {}
    void GetRootView(Ref<View>& view) override { view = new ForeignView(); }
};

TEST_F(ConfigTest, CopyFromMergesValueOrSubtreeIntoTheTarget) {
    _root->Set("src/a", "1");
    _root->Set("src/b[k]/c", "2");
    _root->Set("dst/keep", "3");
    _root->Set("dst/a", "old");
    _root->CopyFrom("dst", ViewOf("src"));
    EXPECT_EQ(Children("dst"), (Names{"a", "b[k]", "keep"}));
    EXPECT_EQ(Get("dst/a"), "1");
    EXPECT_EQ(Get("dst/b[k]/c"), "2");
    EXPECT_EQ(Get("dst/keep"), "3");
    // The copy is independent of its source.
    _root->Set("src/a", "changed");
    EXPECT_EQ(Get("dst/a"), "1");

    _root->CopyFrom("single", ViewOf("src/b[k]/c"));
    EXPECT_EQ(Get("single"), "2");
}

TEST_F(ConfigTest, CopyFromAcrossConfigurationsAndOfMissingSource) {
    Ref<Config> other;
    CreateScratchConfig(other);
    Ref<Config::View> otherRoot;
    other->GetRootView(otherRoot);
    otherRoot->Set("x/y", "v");
    Ref<Config::View> source;
    otherRoot->GetView("x", source);
    _root->CopyFrom("here", source);
    EXPECT_EQ(Get("here/y"), "v");

    Ref<Config::View> missing;
    otherRoot->GetView("nothing", missing);
    _root->CopyFrom("created", missing);
    EXPECT_TRUE(_root->Exists("created"));
    EXPECT_FALSE(otherRoot->Exists("nothing"));
}

TEST_F(ConfigTest, CopyFromIntoItsOwnSubtreeCopiesTheOriginalOnce) {
    _root->Set("a/v", "1");
    _root->CopyFrom("a/inner/deeper", ViewOf("a"));
    EXPECT_EQ(Get("a/v"), "1");
    EXPECT_EQ(Get("a/inner/deeper/v"), "1");
    // The source as it was before the call: without the target path created by it.
    EXPECT_EQ(Children("a/inner/deeper"), Names{"v"});
    _root->CopyFrom("a", ViewOf("a"));
    EXPECT_EQ(Children("a"), (Names{"inner", "v"}));
}

TEST_F(ConfigTest, CopyFromConflictsFollowTheRulesOfSet) {
    _root->Set("src/x", "1");
    _root->Set("val", "v");
    EXPECT_THROW(_root->CopyFrom("val", ViewOf("src")), InvalidArgumentException);
    _root->Set("tree/t", "1");
    ExpectThrowWithMessage<InvalidArgumentException>(
        [&] { _root->CopyFrom("tree", ViewOf("src/x")); },
        "Invalid argument : Config::View::Set failed. Node /tree already has a child.");
}

TEST_F(ConfigTest, ForeignSourcesAreRejected) {
    Ref<Config::View> foreignView(new ForeignView());
    EXPECT_THROW(_root->CopyFrom("a", foreignView), InvalidArgumentException);
    Ref<Config> foreignConfig(new ForeignConfig());
    EXPECT_THROW(_root->Insert("a", foreignConfig), InvalidArgumentException);
    EXPECT_THROW(_root->Insert("a", nullptr), InvalidArgumentException);
    EXPECT_THROW(_root->CopyFrom("a", nullptr), InvalidArgumentException);
}

TEST_F(ConfigTest, InsertCopiesAWholeConfigurationToANewPath) {
    Ref<Config> part;
    CreateScratchConfig(part);
    Ref<Config::View> partRoot;
    part->GetRootView(partRoot);
    partRoot->Set("a", "1");
    partRoot->Set("b/c", "2");

    _root->Insert("plugins/p[1]", part);
    EXPECT_EQ(Children("plugins/p[1]"), (Names{"a", "b"}));
    EXPECT_EQ(Get("plugins/p[1]/b/c"), "2");

    ExpectThrowWithMessage<AlreadyExistsException>([&] { _root->Insert("plugins/p[1]", part); },
                                                   "Already Exists");
    EXPECT_THROW(_root->Insert("", part), InvalidArgumentException);
    EXPECT_THROW(_root->Insert("//", part), InvalidArgumentException);

    // Inserting a configuration into itself copies the tree as it was.
    _root->Insert("self", _config);
    EXPECT_EQ(Children("self"), (Names{"plugins"}));
    EXPECT_EQ(Get("self/plugins/p[1]/a"), "1");
}

// ---------------------------------------------------------------------------------------------
// GetNextKey

struct NextKeyCase {
    Names existing;  // children of "list", element texts
    std::string expected;
};

void PrintTo(const NextKeyCase& c, std::ostream* out) {
    *out << c.existing.size() << " items, next " << c.expected;
}

class NextKeyTest : public ConfigTest, public ::testing::WithParamInterface<NextKeyCase> {};

TEST_P(NextKeyTest, FollowsTheLastKeyOfThatName) {
    _root->Set("list/other[zzzz]", "x");
    for (const std::string& element : GetParam().existing) {
        _root->Set("list/" + element, "x");
    }
    std::string key = "stale";
    _root->GetNextKey("list/item", key);
    EXPECT_EQ(key, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, NextKeyTest,
    ::testing::Values(NextKeyCase{{"item[0007]", "item[0012]"}, "0013"}, NextKeyCase{{}, "0000"},
                      NextKeyCase{{"item"}, "0000"}, NextKeyCase{{"item", "item[0003]"}, "0004"},
                      NextKeyCase{{"item[0999]"}, "1000"}, NextKeyCase{{"item[ab0099]"}, "ab0100"},
                      NextKeyCase{{"item[x9999]"}, "x99990000"},
                      NextKeyCase{{"item[abc]"}, "abc0000"},
                      NextKeyCase{{"item[12a4]"}, "12a40000"}, NextKeyCase{{"item[]"}, "0000"}));

TEST_F(ConfigTest, NextKeyOfMissingParentAndEmptyPath) {
    std::string key;
    _root->GetNextKey("no/such/item", key);
    EXPECT_EQ(key, "0000");
    _root->Set("list/item[0001]", "x");
    ViewOf("list")->GetNextKey("item", key);
    EXPECT_EQ(key, "0002");
    EXPECT_THROW(_root->GetNextKey("", key), InvalidArgumentException);
}

// ---------------------------------------------------------------------------------------------
// Deep trees are handled without recursion.

TEST(ConfigDeepTree, HundredThousandLevelsCanBeBuiltCopiedRemovedAndDestroyed) {
    constexpr int kDepth = 100000;
    std::string path;
    path.reserve(kDepth * 2);
    for (int i = 0; i < kDepth; ++i) {
        path += "/n";
    }
    Ref<Config> config;
    CreateScratchConfig(config);
    Ref<Config::View> root;
    config->GetRootView(root);
    root->Set(path, "leaf");
    std::string value;
    ASSERT_TRUE(root->GetString(path, value));
    EXPECT_EQ(value, "leaf");

    root->CopyFrom("copy", root);  // into its own subtree: the whole chain is cloned first
    EXPECT_TRUE(root->GetString("copy" + path, value));
    EXPECT_TRUE(root->Remove(path));
    EXPECT_FALSE(root->Exists("n"));
    EXPECT_TRUE(root->Exists("copy"));

    Ref<Config> other;
    CreateScratchConfig(other);
    Ref<Config::View> otherRoot;
    other->GetRootView(otherRoot);
    otherRoot->Insert("in", config);
    EXPECT_TRUE(otherRoot->GetString("in/copy" + path, value));
    // Both configurations go with deep trees in them.
}

// ---------------------------------------------------------------------------------------------
// Load and Save go through the backend; the format hooks see the reader and writer.

class FakeBackend : public ConfigBackend, public ObjectImpl {
public:
    void BeginWrite(Ref<Writer>& writer) override {
        calls += "BeginWrite,";
        Ref<StringWriter> text;
        CreateStringWriter(text);
        _writer = text;
        writer = text;
    }
    void BeginRead(Ref<Reader>& reader) override {
        calls += "BeginRead,";
        Ref<StringReader> text;
        CreateStringReader(stored, text);
        reader = text;
    }
    void EndWrite() override {
        calls += "EndWrite,";
        stored = _writer->ToString();
    }
    void EndAccess() override {
        calls += "EndAccess,";
        _writer = nullptr;
    }

    std::string stored;
    std::string calls;

private:
    Ref<StringWriter> _writer;
};

// A format of "path=value" lines, enough to drive Load and Save.
class LineConfig : public ConfigBase {
public:
    explicit LineConfig(const Ref<ConfigBackend>& backend) : ConfigBase(backend) {}
    bool failNextRead = false;
    bool failNextWrite = false;

protected:
    void ReadTree(Reader& reader) override {
        Ref<Config::View> root;
        GetRootView(root);
        std::string text;
        char buffer[64];
        for (int32_t n; (n = reader.Read(buffer, sizeof(buffer))) != -1;) {
            text.append(buffer, static_cast<size_t>(n));
        }
        size_t at = 0;
        while (at < text.size()) {
            const size_t end = text.find('\n', at);
            const std::string line = text.substr(at, end - at);
            const size_t eq = line.find('=');
            root->Set(line.substr(0, eq), line.substr(eq + 1));
            if (failNextRead) {
                throw FileFormatException("stop");
            }
            at = end + 1;
        }
    }
    void WriteTree(Writer& writer) override {
        Ref<Config::View> root;
        GetRootView(root);
        Names names;
        root->GetChildNames("", names);
        for (const std::string& name : names) {
            std::string value;
            root->GetString(name, value);
            const std::string line = name + "=" + value + "\n";
            writer.Write(line.data(), static_cast<int32_t>(line.size()));
            if (failNextWrite) {
                throw IOException();
            }
        }
    }
};

TEST(ConfigBackendSeam, SaveThenLoadRoundTripsThroughTheBackend) {
    Ref<FakeBackend> backend(new FakeBackend());
    Ref<LineConfig> config(new LineConfig(backend));
    Ref<Config::View> root;
    config->GetRootView(root);
    root->Set("a", "1");
    root->Set("b", "2");
    config->Save();
    EXPECT_EQ(backend->stored, "a=1\nb=2\n");
    EXPECT_EQ(backend->calls, "BeginWrite,EndWrite,EndAccess,");

    root->Set("stale", "x");
    backend->calls.clear();
    config->Load();
    EXPECT_EQ(backend->calls, "BeginRead,EndAccess,");
    Names names;
    root->GetChildNames("", names);
    EXPECT_EQ(names, (Names{"a", "b"}));
}

TEST(ConfigBackendSeam, FailuresEndTheAccessWithoutCommitting) {
    Ref<FakeBackend> backend(new FakeBackend());
    backend->stored = "a=1\nb=2\n";
    Ref<LineConfig> config(new LineConfig(backend));
    Ref<Config::View> root;
    config->GetRootView(root);
    root->Set("old", "x");

    config->failNextRead = true;
    EXPECT_THROW(config->Load(), FileFormatException);
    EXPECT_EQ(backend->calls, "BeginRead,EndAccess,");
    // The tree was emptied and keeps what was read up to the failure.
    Names names;
    root->GetChildNames("", names);
    EXPECT_EQ(names, Names{"a"});

    config->failNextWrite = true;
    backend->calls.clear();
    EXPECT_THROW(config->Save(), IOException);
    EXPECT_EQ(backend->calls, "BeginWrite,EndAccess,");
    EXPECT_EQ(backend->stored, "a=1\nb=2\n");
}

TEST(ConfigBackendSeam, WithoutBackendLoadAndSaveAreNotSupported) {
    Ref<LineConfig> config(new LineConfig(nullptr));
    ExpectThrowWithMessage<NotSupportedException>([&] { config->Load(); }, "Not Supported");
    ExpectThrowWithMessage<NotSupportedException>([&] { config->Save(); }, "Not Supported");
}

TEST(ScratchConfig, LoadAndSaveKeepTheTree) {
    Ref<Config> config;
    CreateScratchConfig(config);
    Ref<Config::View> root;
    config->GetRootView(root);
    root->Set("a", "1");
    config->Save();
    config->Load();
    std::string value;
    EXPECT_TRUE(root->GetString("a", value));
    EXPECT_EQ(value, "1");
}

}  // namespace
}  // namespace Tarvos::Service
