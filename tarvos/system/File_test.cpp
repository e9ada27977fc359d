#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"
#include "tarvos/system/File.h"
#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/SystemFactory.h"
#include "tarvos/system/internal/FileImpl.h"

namespace Tarvos::System {
namespace {

using Names = std::vector<std::string>;

Ref<File> FileAt(const std::string& path) {
    Ref<File> file;
    GetSystemFactory().CreateFile(path, file);
    return file;
}

class FileOpsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarvos-fileops-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        _dir = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(_dir, ignored);
    }

    std::string PathOf(const std::string& name) const { return _dir + "/" + name; }
    Ref<File> Named(const std::string& name) const { return FileAt(PathOf(name)); }
    void Put(const std::string& name, const std::string& text) const {
        std::ofstream(PathOf(name), std::ios::binary) << text;
    }
    std::string Get(const std::string& name) const {
        std::ifstream in(PathOf(name), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    Names Entries(const std::string& name = "") const {
        Names names;
        FileAt(name.empty() ? _dir : PathOf(name))->List(names);
        return names;
    }

    std::string _dir;
};

TEST_F(FileOpsTest, KindQueriesTellFilesDirectoriesAndAbsence) {
    Put("f", "abc");
    ASSERT_EQ(::mkdir(PathOf("d").c_str(), 0700), 0);
    ASSERT_EQ(::symlink(PathOf("gone").c_str(), PathOf("dangling").c_str()), 0);
    ASSERT_EQ(::symlink(PathOf("d").c_str(), PathOf("dirlink").c_str()), 0);
    struct Expect {
        const char* name;
        bool exists, directory, regular;
    };
    for (const Expect& e :
         {Expect{"f", true, false, true}, Expect{"d", true, true, false},
          Expect{"missing", false, false, false}, Expect{"f/below", false, false, false},
          Expect{"dangling", false, false, false}, Expect{"dirlink", true, true, false}}) {
        Ref<File> file = Named(e.name);
        EXPECT_EQ(file->Exists(), e.exists) << e.name;
        EXPECT_EQ(file->IsDirectory(), e.directory) << e.name;
        EXPECT_EQ(file->IsRegularFile(), e.regular) << e.name;
    }
}

TEST_F(FileOpsTest, SizeTimesAndPermissionsComeFromTheFile) {
    Put("f", std::string(1234, 'q'));
    const struct timespec times[2] = {{1000000, 250000000}, {2000000000, 123456789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, PathOf("f").c_str(), times, 0), 0);
    Ref<File> file = Named("f");
    EXPECT_EQ(file->GetSize(), 1234);
    EXPECT_EQ(file->GetAccessTime(), 1000000250000LL);
    EXPECT_EQ(file->GetModificationTime(), 2000000000123456LL);

    file->SetPermissions(0640);
    EXPECT_EQ(file->GetPermissions(), 0640u);
    file->SetPermissions(01751);
    EXPECT_EQ(file->GetPermissions(), 01751u);
    EXPECT_THROW(file->SetPermissions(010000), InvalidArgumentException);
    EXPECT_EQ(file->GetPermissions(), 01751u);
}

TEST_F(FileOpsTest, QueriesOfAMissingPathThrowNotFoundNamingIt) {
    Ref<File> missing = Named("missing");
    const std::string expected = "FileIO error: Couldnot find file " + PathOf("missing");
    Names names;
    for (const auto& query : std::vector<std::function<void()>>{
             [&] { missing->GetSize(); }, [&] { missing->GetModificationTime(); },
             [&] { missing->SetPermissions(0600); }, [&] { missing->GetCanonicalPath(); },
             [&] { missing->List(names); }}) {
        try {
            query();
            ADD_FAILURE() << "no exception";
        } catch (const FileIONotFoundException& e) {
            EXPECT_EQ(e.GetMessage(), expected);
        }
    }
}

TEST_F(FileOpsTest, CreatingDirectoriesReportsWhatWasThere) {
    EXPECT_THROW(Named("no/parent")->CreateDirectory(), FileIONotFoundException);
    EXPECT_TRUE(Named("d")->CreateDirectory());
    EXPECT_FALSE(Named("d")->CreateDirectory());
    EXPECT_TRUE(Named("a/b//./c/")->CreateDirectories());
    EXPECT_TRUE(std::filesystem::is_directory(PathOf("a/b/c")));
    EXPECT_FALSE(Named("a/b/c")->CreateDirectories());
    EXPECT_TRUE(Named("a/b/d")->CreateDirectories());

    Put("a/file", "x");
    try {
        Named("a/file/e/f")->CreateDirectories();
        FAIL() << "no exception";
    } catch (const FileIOAlreadyExistsException& e) {
        EXPECT_EQ(e.GetMessage(), "FileIO error : File already exists " + PathOf("a/file"));
    }
    EXPECT_THROW(Named("a/file")->CreateDirectory(), FileIOAlreadyExistsException);
    EXPECT_EQ(Get("a/file"), "x");
}

TEST_F(FileOpsTest, ListGivesSortedEntriesOfTheDirectory) {
    EXPECT_EQ(Entries(), Names{});
    Put("b", "");
    Put("a", "");
    Put(".hidden", "");
    ASSERT_EQ(::mkdir(PathOf("c").c_str(), 0700), 0);
    Put("c/inner", "");
    Names names{"stale"};
    FileAt(_dir)->List(names);
    EXPECT_EQ(names, (Names{".hidden", "a", "b", "c"}));
    EXPECT_EQ(Entries("c"), Names{"inner"});
    try {
        Entries("a");
        FAIL() << "no exception";
    } catch (const PosixSystemException& e) {
        EXPECT_EQ(e.GetErrorCode(), ENOTDIR);
        EXPECT_NE(e.GetMessage().find(PathOf("a")), std::string::npos);
    }
}

TEST_F(FileOpsTest, RemoveTakesFilesLinksAndEmptyDirectories) {
    Put("f", "x");
    ASSERT_EQ(::mkdir(PathOf("empty").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(PathOf("full").c_str(), 0700), 0);
    Put("full/x", "x");
    ASSERT_EQ(::symlink(PathOf("f").c_str(), PathOf("link").c_str()), 0);

    EXPECT_TRUE(Named("link")->Remove());
    EXPECT_EQ(Get("f"), "x");  // the link went, not its target
    EXPECT_TRUE(Named("f")->Remove());
    EXPECT_FALSE(Named("f")->Remove());
    EXPECT_TRUE(Named("empty")->Remove());
    try {
        Named("full")->Remove();
        FAIL() << "no exception";
    } catch (const PosixSystemException& e) {
        EXPECT_EQ(e.GetErrorCode(), ENOTEMPTY);
    }
    EXPECT_EQ(Entries(), Names{"full"});
}

TEST_F(FileOpsTest, RemoveAllCountsAndNeverFollowsLinks) {
    ASSERT_EQ(::mkdir(PathOf("outside").c_str(), 0700), 0);
    Put("outside/keep", "k");
    ASSERT_TRUE(Named("tree/a/b")->CreateDirectories());
    Put("tree/a/b/f", "");
    Put("tree/g", "");
    ASSERT_EQ(::symlink(PathOf("outside").c_str(), PathOf("tree/link").c_str()), 0);

    EXPECT_EQ(Named("tree")->RemoveAll(), 6);
    EXPECT_EQ(Entries(), Names{"outside"});
    EXPECT_EQ(Get("outside/keep"), "k");
    EXPECT_EQ(Named("tree")->RemoveAll(), 0);
    EXPECT_THROW(FileAt("/")->RemoveAll(), InvalidArgumentException);
    EXPECT_THROW(FileAt("/tmp/..//")->RemoveAll(), InvalidArgumentException);
}

TEST_F(FileOpsTest, RenameReplacesTheTargetAtomically) {
    Put("new", "fresh");
    Put("target", "stale");
    Ref<File> file = Named("new");
    file->Rename(PathOf("target"));
    EXPECT_EQ(Get("target"), "fresh");
    EXPECT_EQ(Entries(), Names{"target"});
    // The File keeps naming its own path, where nothing is now.
    EXPECT_FALSE(file->Exists());

    try {
        file->Rename(PathOf("other"));
        FAIL() << "no exception";
    } catch (const FileIONotFoundException& e) {
        EXPECT_EQ(e.GetMessage(), "FileIO error: Couldnot find file " + PathOf("new"));
    }
    try {
        Named("target")->Rename(PathOf("no/dir/x"));
        FAIL() << "no exception";
    } catch (const FileIONotFoundException& e) {
        EXPECT_EQ(e.GetMessage(), "FileIO error: Couldnot find file " + PathOf("no/dir/x"));
    }
    EXPECT_THROW(Named("target")->Rename(""), InvalidArgumentException);
    Ref<File> unnamed;
    EXPECT_THROW(GetSystemFactory().CreateFile("", unnamed), InvalidArgumentException);
    EXPECT_EQ(Get("target"), "fresh");
}

TEST_F(FileOpsTest, CopyIsWholeKeepsPermissionsAndOverwritesOnlyWhenAsked) {
    std::string data;
    for (int i = 0; i < 200001; ++i) {
        data += static_cast<char>('a' + i % 26);
    }
    Put("src", data);
    ASSERT_EQ(::chmod(PathOf("src").c_str(), 0750), 0);
    Named("src")->CopyTo(PathOf("dst"), false);
    EXPECT_EQ(Get("dst"), data);
    EXPECT_EQ(Named("dst")->GetPermissions(), 0750u);

    Put("src", "new");
    try {
        Named("src")->CopyTo(PathOf("dst"), false);
        FAIL() << "no exception";
    } catch (const FileIOAlreadyExistsException& e) {
        EXPECT_EQ(e.GetMessage(), "FileIO error : File already exists " + PathOf("dst"));
    }
    EXPECT_EQ(Get("dst"), data);
    Named("src")->CopyTo(PathOf("dst"), true);
    EXPECT_EQ(Get("dst"), "new");
    EXPECT_EQ(Entries(), (Names{"dst", "src"}));
}

TEST_F(FileOpsTest, FailedCopyLeavesNoTemporaryFileBehind) {
    Put("src", "data");
    ASSERT_EQ(::mkdir(PathOf("d").c_str(), 0700), 0);
    EXPECT_THROW(Named("d")->CopyTo(PathOf("copy"), true), PosixSystemException);
    // The temporary copy is made, then its rename onto a directory fails.
    ASSERT_EQ(::mkdir(PathOf("busy").c_str(), 0700), 0);
    Put("busy/x", "");
    EXPECT_THROW(Named("src")->CopyTo(PathOf("busy"), true), PosixSystemException);
    EXPECT_THROW(Named("missing")->CopyTo(PathOf("copy"), true), FileIONotFoundException);
    EXPECT_THROW(Named("src")->CopyTo(PathOf("no/dir/copy"), true), FileIONotFoundException);
    EXPECT_THROW(Named("src")->CopyTo("", true), InvalidArgumentException);
    EXPECT_EQ(Entries(), (Names{"busy", "d", "src"}));
    EXPECT_EQ(Entries("busy"), Names{"x"});
}

TEST_F(FileOpsTest, AbsoluteAndCanonicalPaths) {
    ASSERT_EQ(::mkdir(PathOf("real").c_str(), 0700), 0);
    Put("real/f", "");
    ASSERT_EQ(::symlink("real", PathOf("alias").c_str()), 0);
    const std::string canonicalDir = std::filesystem::canonical(_dir).string();
    EXPECT_EQ(Named("alias/f")->GetCanonicalPath(), canonicalDir + "/real/f");
    EXPECT_EQ(Named("real/./x/../f/")->GetAbsolutePath(), _dir + "/real/f");
    const std::string cwd = std::filesystem::current_path().string();
    EXPECT_EQ(FileAt("some/rel")->GetAbsolutePath(), (cwd == "/" ? "" : cwd) + "/some/rel");
    EXPECT_EQ(FileAt("/")->GetAbsolutePath(), "/");
}

// The lexical parts of a path.
struct PartsCase {
    const char* path;
    const char* name;
    const char* parent;
    const char* extension;
};

class FilePartsTest : public ::testing::TestWithParam<PartsCase> {};

TEST_P(FilePartsTest, NameParentAndExtension) {
    const PartsCase& c = GetParam();
    Ref<File> file = FileAt(c.path);
    EXPECT_EQ(file->GetPath(), c.path);
    EXPECT_EQ(file->GetName(), c.name);
    EXPECT_EQ(file->GetParent(), c.parent);
    EXPECT_EQ(file->GetExtension(), c.extension);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, FilePartsTest,
    ::testing::Values(PartsCase{"a/b.txt", "b.txt", "a", ".txt"},
                      PartsCase{"/x/y/archive.tar.gz", "archive.tar.gz", "/x/y", ".gz"},
                      PartsCase{"a/b/", "b", "a", ""}, PartsCase{"a//b", "b", "a", ""},
                      PartsCase{"/a", "a", "/", ""}, PartsCase{"/", "/", "/", ""},
                      PartsCase{"name", "name", ".", ""},
                      PartsCase{"dir/.profile", ".profile", "dir", ""},
                      PartsCase{"dir/..", "..", "dir", ""},
                      PartsCase{"v1.2/file", "file", "v1.2", ""}));

TEST(TempFile, IsAPrivateEmptyFileRemovedWithItsLastReference) {
    Ref<File> temp;
    GetSystemFactory().CreateTempFile(temp);
    const std::string path = temp->GetPath();
    EXPECT_TRUE(temp->IsRegularFile());
    EXPECT_EQ(temp->GetSize(), 0);
    EXPECT_EQ(temp->GetPermissions(), 0600u);
    Ref<File> second;
    GetSystemFactory().CreateTempFile(second);
    EXPECT_NE(second->GetPath(), path);
    Ref<File> keep = temp;
    temp = nullptr;
    EXPECT_TRUE(std::filesystem::exists(path));
    keep = nullptr;
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(FileOpsTest, TempDirectoryIsTheFirstUsableCandidate) {
    Put("plain", "");
    EXPECT_EQ(FindTempDirectory({"", PathOf("missing"), PathOf("plain"), _dir + "//"}), _dir);
    try {
        FindTempDirectory({PathOf("missing"), PathOf("plain")});
        ADD_FAILURE() << "no exception";
    } catch (const FileIOException& e) {
        EXPECT_EQ(e.GetMessage(), "No temp directory is accessible");
    }
}

// Changing the environment is done in a forked child, where no other thread can read it.
void CreateTempFileWithTmpdir(const std::string& tmpdir, const std::string& expectedDir) {
    ::setenv("TMPDIR", tmpdir.c_str(), 1);
    Ref<File> temp;
    GetSystemFactory().CreateTempFile(temp);
    const std::string path = temp->GetPath();
    const bool placed = temp->GetParent() == expectedDir;
    temp = nullptr;
    std::_Exit(placed && !std::filesystem::exists(path) ? 0 : 1);
}

TEST_F(FileOpsTest, TmpdirIsPreferredAndAnUnusableOneFallsBackToTmp) {
    EXPECT_EXIT(CreateTempFileWithTmpdir(_dir, _dir), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(CreateTempFileWithTmpdir(PathOf("missing"), "/tmp"), ::testing::ExitedWithCode(0),
                "");
    EXPECT_EQ(Entries(), Names{});
}

}  // namespace
}  // namespace Tarvos::System
