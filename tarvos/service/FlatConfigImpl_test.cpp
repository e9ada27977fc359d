#include "tarvos/service/FlatConfigImpl.h"

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"
#include "tarvos/core/StringWriter.h"
#include "tarvos/service/ConfigFactory.h"
#include "tarvos/service/internal/ConfigTestSupport.h"

namespace Tarvos::Service {
namespace {

using testing::ExpectThrowWithMessage;
using testing::TreeText;

class FlatConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        CreateFlatStringConfig(&_text, _config);
        _config->GetRootView(_root);
    }

    FlatConfigImpl& Flat() { return dynamic_cast<FlatConfigImpl&>(*_config); }
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
    // Saves, loads the saved text into a second configuration and compares the trees.
    void ExpectRoundTrip() {
        std::string copy = Save();
        Ref<Config> reloaded;
        CreateFlatStringConfig(&copy, reloaded);
        reloaded->Load();
        EXPECT_EQ(TreeText(*reloaded), TreeText(*_config));
        EXPECT_EQ(dynamic_cast<FlatConfigImpl&>(*reloaded).GetMalformedLineCount(), 0);
    }

    std::string _text;
    Ref<Config> _config;
    Ref<Config::View> _root;
};

TEST_F(FlatConfigTest, WritesOneLinePerValueInTreeOrder) {
    for (const char* path : {"b", "a/x[k]", "a/x", "a/e", "a/x[]"}) {
        _root->Set(path, path);
    }
    _root->Set("c[1]/d", "q\"uote\"d");
    _root->Set("a/e", "");
    EXPECT_EQ(Save(),
              "/a/e = \"\"\n/a/x = \"a/x\"\n/a/x[] = \"a/x[]\"\n/a/x[k] = \"a/x[k]\"\n"
              "/b = \"b\"\n/c[1]/d = \"q\"uote\"d\"\n");
}

TEST_F(FlatConfigTest, WriteSubtreeWritesFullPathsOfThatSubtreeOnly) {
    _root->Set("a/b/c", "1");
    _root->Set("a/b/d[2]", "2");
    _root->Set("z", "3");
    Ref<StringWriter> out;
    CreateStringWriter(out);
    EXPECT_TRUE(Flat().WriteSubtree("a/b", *out));
    EXPECT_EQ(out->ToString(), "/a/b/c = \"1\"\n/a/b/d[2] = \"2\"\n");
    out->Reset();
    EXPECT_FALSE(Flat().WriteSubtree("a/missing", *out));
    EXPECT_EQ(out->ToString(), "");
}

TEST_F(FlatConfigTest, TextsLargerThanTheWriteBlockAreWrittenWhole) {
    for (int i = 0; i < 3000; ++i) {
        _root->SetInt("list/item[" + std::to_string(10000 + i) + "]", i);
    }
    const std::string big(200 * 1024, 'v');
    _root->Set("big", big);
    const std::string text = Save();
    EXPECT_NE(text.find("/big = \"" + big + "\"\n/list/item[10000] = \"0\"\n"), std::string::npos);
    ExpectRoundTrip();
}

// A tree the format cannot carry is refused rather than written so that it reads back otherwise.
struct Unwritable {
    std::string name;
    std::optional<std::string> key;
    std::string value;
    std::string message;
};

class FlatUnwritableTest : public FlatConfigTest,
                           public ::testing::WithParamInterface<Unwritable> {};

TEST_P(FlatUnwritableTest, SaveRefusesAndLeavesTheOldText) {
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
    Cases, FlatUnwritableTest,
    ::testing::Values(
        Unwritable{"a", "k", "x\ny",
                   "Value with a line break cannot be written in flat form: /a[k]"},
        Unwritable{"a", {}, "x\r", "Value with a line break cannot be written in flat form: /a"},
        Unwritable{"a", "x=1", "v", "Element cannot be written in flat form: /a[x=1]"},
        Unwritable{"a", "x/y", "v", "Element cannot be written in flat form: /a[x/y]"},
        Unwritable{"a[b", {}, "v", "Element cannot be written in flat form: /a[b"}));

TEST_F(FlatConfigTest, BlanksAroundElementsSurviveTheTrimmedPath) {
    _root->Set("a b/ c", "1");
    _root->Set("d /e[ k ]", "2");
    _root->Set("f /g\t", "3");
    EXPECT_EQ(Save(), "/a b/ c = \"1\"\n/d /e[ k ] = \"2\"\n/f /g\t/ = \"3\"\n");
    ExpectRoundTrip();
}

// Regression (found by fuzzing): a trailing "/" lets a line create a last element ending with
// blanks; saving such a tree must write it back, not refuse it.
TEST_F(FlatConfigTest, LoadedElementEndingWithBlanksIsWrittenBack) {
    Load("-c  /=b \"= 2\"\n");
    EXPECT_EQ(Get("-c  /"), "= 2");
    EXPECT_EQ(Save(), "/-c  / = \"= 2\"\n");
    ExpectRoundTrip();
}

TEST_F(FlatConfigTest, PathIsTrimmedAndValueLiesBetweenFirstAndLastQuote) {
    Load(
        " \t/a/b = \"x\"\r\n"
        "/q=\"say \"hi\" = \"there\"\"\r"
        "/sp =   \"  padded  \"  \n\n\r\n"
        "/after = \"v\" trailing words\n"
        "/empty = \"\"\n"
        "/k[x y] \t= \"keyed\"\n"
        "/k[x y] = \"replaced\"");
    EXPECT_EQ(Flat().GetMalformedLineCount(), 0);
    EXPECT_EQ(TreeText(*_config),
              " (no value)\n/a (no value)\n/a/b = x\n/after = v\n/empty = \n"
              "/k[x y] = replaced\n/q = say \"hi\" = \"there\"\n/sp =   padded  \n");
}

TEST_F(FlatConfigTest, MalformedLinesAreCountedAndSkipped) {
    Load(
        "no equals sign\n= \"equals first\"\n/a = no quotes\n/b = \"one quote\n"
        "/c \"quote\" before = equals\n# a comment\n   \t \n\n/ok = \"kept\"\n");
    EXPECT_EQ(Flat().GetMalformedLineCount(), 6);
    EXPECT_EQ(TreeText(*_config), " (no value)\n/ok = kept\n");
    Load("/ok = \"again\"\n");
    EXPECT_EQ(Flat().GetMalformedLineCount(), 0);
}

TEST_F(FlatConfigTest, EmptyPathSetsTheRootValueAndRoundTrips) {
    Load(" = \"root value\"\n");
    EXPECT_EQ(Get(""), "root value");
    EXPECT_EQ(Save(), " = \"root value\"\n");
    ExpectRoundTrip();
}

TEST_F(FlatConfigTest, TreeErrorsEndTheLoadAndTellTheLine) {
    _text = "/a = \"1\"\nbad\n/a/b = \"2\"\n/c = \"3\"\n";
    ExpectThrowWithMessage<InvalidArgumentException>(
        [&] { _config->Load(); },
        "Invalid argument : Cannot create path /a/b. Element a already has value 1");
    EXPECT_EQ(Flat().GetFailedLine(), 3);
    EXPECT_EQ(TreeText(*_config), " (no value)\n/a = 1\n");  // what was read before stays
    _text = "/x/y = \"1\"\n/a[x = \"1\"\n";
    ExpectThrowWithMessage<InvalidArgumentException>([&] { _config->Load(); }, "Invalid argument");
    EXPECT_EQ(Flat().GetFailedLine(), 2);
    // The backend was released: the next load works and clears the failure.
    Load("/ok = \"1\"\n");
    EXPECT_EQ(Flat().GetFailedLine(), 0);
}

TEST_F(FlatConfigTest, EveryKindOfValueRoundTrips) {
    _root->Set("quotes", "\"both ends\"");
    _root->Set("quote", "\"");
    _root->Set("equals", " = \"x\" = ");
    _root->Set("spaces", "\t lead and trail  ");
    _root->Set("utf8",
               "Gr\xc3\xb6\xc3\x9f"
               "e \xf0\x9f\x98\x80");
    _root->Set("binary", std::string("a\0b\x01\xff", 5));
    _root->Set("k[key with \"quotes\"]/v", "1");
    ExpectRoundTrip();
}

}  // namespace
}  // namespace Tarvos::Service
