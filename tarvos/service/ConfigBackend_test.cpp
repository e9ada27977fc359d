#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"
#include "tarvos/service/ConfigFactory.h"
#include "tarvos/service/FileConfigBackend.h"
#include "tarvos/service/StringConfigBackend.h"
#include "tarvos/service/internal/ConfigTestSupport.h"
#include "tarvos/system/PosixSystemException.h"

namespace Tarvos::Service {
namespace {

using testing::ExpectThrowWithMessage;
using testing::ReadFile;
using testing::TemporaryDirectory;
using testing::TreeText;
using testing::WriteFile;
using Names = std::vector<std::string>;

void WriteText(Writer& writer, const std::string& text) {
    writer.Write(text.data(), static_cast<int32_t>(text.size()));
}

// The access rules, the same for both backends: Param() tells the file backend.
class BackendTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        _text = "committed";
        WriteFile(_dir.File("config"), "committed");
        _backend = GetParam() ? Ref<ConfigBackend>(new FileConfigBackend(_dir.File("config")))
                              : Ref<ConfigBackend>(new StringConfigBackend(&_text));
    }
    std::string Committed() { return GetParam() ? ReadFile(_dir.File("config")) : _text; }
    void ExpectBusy() {
        Ref<Reader> reader;
        Ref<Writer> writer;
        const char kInProgress[] = "Operation is already in progress";
        ExpectThrowWithMessage<InProgressException>([&] { _backend->BeginRead(reader); },
                                                    kInProgress);
        ExpectThrowWithMessage<InProgressException>([&] { _backend->BeginWrite(writer); },
                                                    kInProgress);
    }

    TemporaryDirectory _dir;
    std::string _text;
    Ref<ConfigBackend> _backend;
};

TEST_P(BackendTest, SecondReaderOrWriterIsRefusedUntilTheAccessEnds) {
    Ref<Reader> reader;
    _backend->BeginRead(reader);
    ExpectBusy();
    char buffer[32];
    EXPECT_EQ(reader->Read(buffer, sizeof(buffer)), 9);
    EXPECT_EQ(std::string(buffer, 9), "committed");
    _backend->EndAccess();
    Ref<Writer> writer;
    _backend->BeginWrite(writer);
    ExpectBusy();
    _backend->EndAccess();
    _backend->BeginRead(reader);
    _backend->EndAccess();
}

TEST_P(BackendTest, WrittenTextIsCommittedOnlyByEndWrite) {
    Ref<Writer> writer;
    _backend->BeginWrite(writer);
    WriteText(*writer, "abandoned");
    _backend->EndAccess();
    EXPECT_EQ(Committed(), "committed");
    EXPECT_THROW(_backend->EndWrite(), NotInProgressException);

    _backend->BeginWrite(writer);
    WriteText(*writer, "new ");
    WriteText(*writer, "text");
    _backend->EndWrite();
    _backend->EndAccess();
    EXPECT_EQ(Committed(), "new text");
}

INSTANTIATE_TEST_SUITE_P(Kinds, BackendTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "File" : "String"; });

TEST(ConfigFactoryTest, WithoutBackendLoadAndSaveAreNotSupported) {
    std::vector<Ref<Config>> configs(6);
    CreateFlatConfig(nullptr, configs[0]);
    CreateFlatStringConfig(nullptr, configs[1]);
    CreateFlatFileConfig("", configs[2]);
    CreateXmlConfig(nullptr, configs[3]);
    CreateXmlStringConfig(nullptr, configs[4]);
    CreateXmlFileConfig("", configs[5]);
    for (const Ref<Config>& config : configs) {
        ExpectThrowWithMessage<NotSupportedException>([&] { config->Load(); }, "Not Supported");
        ExpectThrowWithMessage<NotSupportedException>([&] { config->Save(); }, "Not Supported");
    }
}

// The file backend replacing the file safely.
class FileBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        _path = _dir.File("app.conf");
        CreateFlatFileConfig(_path, _config);
        _config->GetRootView(_root);
    }

    // Expects a save to fail with PosixSystemException `error` naming the file, and to leave the
    // directory's entries and the file's bytes as they were.
    void ExpectFailedSaveChangesNothing(int error) {
        const Names entries = _dir.Entries();
        const std::string old = ReadFile(_path);
        try {
            _config->Save();
            ADD_FAILURE() << "save succeeded";
        } catch (const System::PosixSystemException& e) {
            EXPECT_EQ(e.GetErrorCode(), error) << e.GetMessage();
            EXPECT_NE(e.GetMessage().find(_path), std::string::npos) << e.GetMessage();
        }
        EXPECT_EQ(_dir.Entries(), entries);
        EXPECT_EQ(ReadFile(_path), old);
    }

    TemporaryDirectory _dir;
    std::string _path;
    Ref<Config> _config;
    Ref<Config::View> _root;
};

TEST_F(FileBackendTest, SaveReplacesTheFileKeepingItsModeAndLeavesNoTemporaryFile) {
    WriteFile(_path, "/old = \"1\"\n");
    ASSERT_EQ(::chmod(_path.c_str(), 0600), 0);
    _root->Set("new", "2");
    _config->Save();
    EXPECT_EQ(ReadFile(_path), "/new = \"2\"\n");
    EXPECT_EQ(_dir.Entries(), Names{"app.conf"});
    struct stat status {};
    ASSERT_EQ(::stat(_path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
}

TEST_F(FileBackendTest, FailedLoadLeavesTheFileUntouched) {
    const std::string text = "/a = \"1\"\n/a/b = \"2\"\n";
    WriteFile(_path, text);
    EXPECT_THROW(_config->Load(), InvalidArgumentException);
    EXPECT_EQ(ReadFile(_path), text);
    EXPECT_EQ(_dir.Entries(), Names{"app.conf"});
}

TEST_F(FileBackendTest, StaleTemporaryFileIsReplacedNotWrittenThrough) {
    WriteFile(_dir.File("victim"), "untouched");
    ASSERT_EQ(::symlink(_dir.File("victim").c_str(), (_path + ".tmp").c_str()), 0);
    _root->Set("a", "1");
    _config->Save();
    EXPECT_EQ(ReadFile(_dir.File("victim")), "untouched");
    EXPECT_EQ(ReadFile(_path), "/a = \"1\"\n");
    EXPECT_EQ(_dir.Entries(), (Names{"app.conf", "victim"}));
}

TEST_F(FileBackendTest, FailedRenameLeavesTheTargetAndRemovesTheTemporaryFile) {
    // A directory with an entry where the file should be: rename(2) cannot replace it.
    ASSERT_EQ(::mkdir(_path.c_str(), 0700), 0);
    WriteFile(_path + "/inside", "x");
    _root->Set("a", "1");
    ExpectFailedSaveChangesNothing(EISDIR);
    EXPECT_EQ(ReadFile(_path + "/inside"), "x");
}

TEST_F(FileBackendTest, FullDiskLeavesTheOldFileAndRemovesTheTemporaryFile) {
    WriteFile(_path, "/old = \"value\"\n");
    for (int i = 0; i < 2000; ++i) {
        _root->SetInt("item[" + std::to_string(i) + "]", i);
    }
    // The file size limit stands in for a full disk: writes beyond it fail with EFBIG once the
    // signal that would end the process is ignored.
    struct rlimit saved {};
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previous), 0);
    struct rlimit tight = saved;
    tight.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    ExpectFailedSaveChangesNothing(EFBIG);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
    ASSERT_EQ(::sigaction(SIGXFSZ, &previous, nullptr), 0);

    // With room again the same configuration saves.
    _config->Save();
    Ref<Config> reloaded;
    CreateFlatFileConfig(_path, reloaded);
    reloaded->Load();
    EXPECT_EQ(TreeText(*reloaded), TreeText(*_config));
    EXPECT_EQ(_dir.Entries(), Names{"app.conf"});
}

// In a forked child, as an ordinary user when run by root (root ignores directory permissions).
void SaveIntoReadOnlyDirectory(Config& config, const std::string& path) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
        std::_Exit(3);
    }
    try {
        config.Save();
        std::_Exit(4);
    } catch (const System::PosixSystemException& e) {
        const bool named = e.GetMessage().find(path) != std::string::npos;
        std::_Exit(e.GetErrorCode() == EACCES && named ? 0 : 5);
    }
}

TEST_F(FileBackendTest, DirectoryWithoutWritePermissionLeavesTheOldFile) {
    WriteFile(_path, "/old = \"1\"\n");
    ASSERT_EQ(::chmod(_path.c_str(), 0644), 0);
    ASSERT_EQ(::chmod(_dir.Path().c_str(), 0555), 0);
    _root->Set("new", "2");
    EXPECT_EXIT(SaveIntoReadOnlyDirectory(*_config, _path), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(ReadFile(_path), "/old = \"1\"\n");
    EXPECT_EQ(_dir.Entries(), Names{"app.conf"});
}

TEST_F(FileBackendTest, AbandonedOrDroppedSaveRemovesItsTemporaryFile) {
    WriteFile(_path, "old");
    Ref<ConfigBackend> backend(new FileConfigBackend(_path));
    Ref<Writer> writer;
    backend->BeginWrite(writer);
    WriteText(*writer, std::string(100000, 'x'));
    EXPECT_EQ(_dir.Entries(), (Names{"app.conf", "app.conf.tmp"}));
    backend->EndAccess();
    EXPECT_EQ(_dir.Entries(), Names{"app.conf"});
    backend->BeginWrite(writer);
    writer = nullptr;
    backend = nullptr;
    EXPECT_EQ(_dir.Entries(), Names{"app.conf"});
    EXPECT_EQ(ReadFile(_path), "old");
}

}  // namespace
}  // namespace Tarvos::Service
