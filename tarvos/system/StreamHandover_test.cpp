#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tarvos/service/Log.h"
#include "tarvos/service/LoggerImpl.h"
#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/internal/StreamTestSupport.h"
#include "tarvos/system/internal/TCPStreamPosix.h"

namespace Tarvos::System {
namespace {

using ::testing::HasSubstr;

// What a descriptor refers to: its device and inode.
using FileId = std::pair<dev_t, ino_t>;

FileId IdOf(int fd) {
    struct stat status {};
    EXPECT_EQ(fstat(fd, &status), 0) << fd;
    return {status.st_dev, status.st_ino};
}

// The descriptors of this process that refer to `id`, in increasing order.
std::vector<int> DescriptorsOf(const FileId& id) {
    std::vector<int> found;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir)) {
        const int fd = atoi(entry->d_name);
        struct stat status {};
        if (entry->d_name[0] != '.' && fd != dirfd(dir) && fstat(fd, &status) == 0 &&
            FileId(status.st_dev, status.st_ino) == id) {
            found.push_back(fd);
        }
    }
    closedir(dir);
    return found;
}

// A connected pair of blocking descriptors: `mine` to hand over, `peer` for the test to drive.
void TcpPair(int& mine, int& peer) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    peer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(peer, reinterpret_cast<sockaddr*>(&address), length), 0);
    mine = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(mine, 0);
    close(listener);
}

void UnixPair(int& mine, int& peer) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    mine = ends[0];
    peer = ends[1];
}

// Streams made on a pool thread, with the lines they log.
class StreamHandoverTest : public Testing::PoolFixture {
protected:
    void SetUp() override {
        PoolFixture::SetUp();
        _output = Testing::CaptureDefaultLog(_pool);
    }
    void TearDown() override {
        Testing::ReleaseDefaultLog(_pool);
        PoolFixture::TearDown();
    }

    // The errno value adopting `fd` fails with; 0 when it is adopted (and the stream closed).
    static int CodeOfAdopting(int fd) {
        try {
            Ref<Stream> stream;
            GetSystemFactory().CreateTCPStreamFromSocket(fd, stream);
            CloseStream(*stream);
        } catch (const SystemException& e) {
            EXPECT_THAT(e.GetMessage(), HasSubstr("taking over socket " + std::to_string(fd)));
            return e.GetErrorCode();
        }
        return 0;
    }

    Ref<Testing::LockedTextWriter> _output;
};

struct PairKind {
    const char* name;
    int family;
    void (*make)(int& mine, int& peer);
    friend void PrintTo(const PairKind& kind, std::ostream* out) { *out << kind.name; }
};

class AdoptedPairTest : public StreamHandoverTest,
                        public ::testing::WithParamInterface<PairKind> {};

TEST_P(AdoptedPairTest, AdoptedEndEchoesOnItsOwnNonBlockingDuplicateAndTheOriginalIsClosed) {
    int mine = -1, peer = -1;
    ASSERT_NO_FATAL_FAILURE(GetParam().make(mine, peer));
    const FileId socketId = IdOf(mine);
    ASSERT_EQ(send(peer, "early", 5, 0), 5);  // waits in the socket before the stream exists

    Ref<Stream> stream;
    GetSystemFactory().CreateTCPStreamFromSocket(mine, stream);
    const std::vector<int> held = DescriptorsOf(socketId);
    ASSERT_EQ(held.size(), 1u) << "exactly the stream's duplicate is left";
    const int duplicate = held[0];
    EXPECT_NE(fcntl(duplicate, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(duplicate, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_THAT(_output->Text(), HasSubstr("CreateSocket(" + std::to_string(GetParam().family) +
                                           ", 1) socket=" + std::to_string(duplicate)));

    char buffer[16];
    Testing::Completions reads;
    stream->ReadInitiate(buffer, sizeof buffer, reads.ReadCallback());
    ASSERT_TRUE(reads.WaitFor(1));
    ASSERT_EQ(reads.Code(), 0);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(reads.Bytes())), "early");
    // This read starts before its data exists: it must wait for readiness, not block.
    stream->ReadInitiate(buffer, sizeof buffer, nullptr);
    stream->WriteInitiate("ping", 4, nullptr);
    EXPECT_EQ(stream->WaitWrite(), 4);
    char echoed[4];
    ASSERT_EQ(recv(peer, echoed, 4, MSG_WAITALL), 4);
    ASSERT_EQ(send(peer, echoed, 4, 0), 4);
    ASSERT_EQ(stream->WaitRead(), 4);
    EXPECT_EQ(std::string(buffer, 4), "ping");

    Ref<BindingInfo> local, remote;
    stream->GetBindingInfo(BindingKind::Tcp, local, remote);
    if (GetParam().family == AF_INET) {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        ASSERT_TRUE(local && remote);
        ASSERT_EQ(getsockname(peer, reinterpret_cast<sockaddr*>(&address), &length), 0);
        EXPECT_EQ(remote->GetText(), "127.0.0.1:" + std::to_string(ntohs(address.sin_port)));
        ASSERT_EQ(getpeername(peer, reinterpret_cast<sockaddr*>(&address), &length), 0);
        EXPECT_EQ(local->GetText(), "127.0.0.1:" + std::to_string(ntohs(address.sin_port)));
    } else {
        EXPECT_FALSE(local || remote);
    }

    CloseStream(*stream);
    EXPECT_TRUE(DescriptorsOf(socketId).empty());
    EXPECT_EQ(recv(peer, echoed, 1, 0), 0) << "the peer sees the end of the stream";
    close(peer);
}

INSTANTIATE_TEST_SUITE_P(Families, AdoptedPairTest,
                         ::testing::Values(PairKind{"Tcp", AF_INET, TcpPair},
                                           PairKind{"UnixSocketPair", AF_UNIX, UnixPair}),
                         [](const auto& info) { return std::string(info.param.name); });

// Descriptors that are no connected stream socket, made with a second one (or -1) that must
// stay open meanwhile.
struct Refused {
    const char* name;
    int expected;
    std::pair<int, int> (*make)();
    friend void PrintTo(const Refused& kind, std::ostream* out) { *out << kind.name; }
};

class RefusedDescriptorTest : public StreamHandoverTest,
                              public ::testing::WithParamInterface<Refused> {};

TEST_P(RefusedDescriptorTest, FailsNamingTheDescriptorAndLeavesItOpenAndUnchanged) {
    const auto [fd, companion] = GetParam().make();
    ASSERT_GE(fd, 0) << strerror(errno);
    const int flags = fcntl(fd, F_GETFL);
    const FileId id = IdOf(fd);
    const std::vector<int> holders = DescriptorsOf(id);
    EXPECT_EQ(CodeOfAdopting(fd), GetParam().expected);
    EXPECT_EQ(fcntl(fd, F_GETFL), flags);
    EXPECT_EQ(DescriptorsOf(id), holders) << "nothing closed, no duplicate left";
    close(fd);
    close(companion);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, RefusedDescriptorTest,
    ::testing::Values(Refused{"ListeningSocket", ENOTCONN,
                              [] {
                                  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                                  sockaddr_in address{};
                                  address.sin_family = AF_INET;
                                  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                                  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
                                  return std::make_pair(listen(fd, 1) == 0 ? fd : -1, -1);
                              }},
                      Refused{"ConnectedDatagramSocket", ENOTSOCK,
                              [] {
                                  int ends[2] = {-1, -1};
                                  socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, ends);
                                  return std::make_pair(ends[0], ends[1]);
                              }},
                      Refused{"File", ENOTSOCK,
                              [] {
                                  return std::make_pair(
                                      open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600), -1);
                              }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StreamHandoverTest, NegativeAndClosedDescriptorsAreBadOnes) {
    EXPECT_EQ(CodeOfAdopting(-1), EBADF) << "never a fresh socket";
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    close(fd);
    EXPECT_EQ(CodeOfAdopting(fd), EBADF);
}

// Off the pool the registration fails after the shared description was made non-blocking: the
// caller's socket must get its blocking mode back, and the duplicate must go.
TEST_F(StreamHandoverTest, FailureOffThePoolLeavesTheCallersSocketBlockingAndAlone) {
    int mine = -1, peer = -1;
    ASSERT_NO_FATAL_FAILURE(TcpPair(mine, peer));
    bool wrongThread = false;
    std::thread outsider([&] {
        try {
            Ref<Stream> stream;
            GetSystemFactory().CreateTCPStreamFromSocket(mine, stream);
        } catch (const WrongThreadException&) {
            wrongThread = true;
        }
    });
    outsider.join();
    EXPECT_TRUE(wrongThread);
    EXPECT_EQ(fcntl(mine, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(DescriptorsOf(IdOf(mine)), std::vector<int>{mine});
    Ref<Stream> stream;
    GetSystemFactory().CreateTCPStreamFromSocket(mine, stream);
    ASSERT_EQ(send(peer, "x", 1, 0), 1);
    char byte = 0;
    EXPECT_EQ(stream->Read(&byte, 1), 1);
    CloseStream(*stream);
    close(peer);
}

// A stream takes one socket in its life, handed over or fresh, also after it was closed; a
// refused descriptor stays the caller's.
TEST_F(StreamHandoverTest, EveryStreamTakesOneSocketInItsLife) {
    int first = -1, firstPeer = -1, second = -1, secondPeer = -1;
    ASSERT_NO_FATAL_FAILURE(UnixPair(first, firstPeer));
    ASSERT_NO_FATAL_FAILURE(UnixPair(second, secondPeer));
    const auto creationCode = [](Stream& stream, int fd) {
        try {
            dynamic_cast<TCPStreamPosix&>(stream).CreateSocket(fd);
        } catch (const PosixSystemException& e) {
            return e.GetErrorCode();
        }
        return 0;
    };
    const Ref<TCPStreamPosix> adopted(new TCPStreamPosix(-1));
    ASSERT_EQ(creationCode(*adopted, first), 0);
    EXPECT_EQ(creationCode(*adopted, second), EALREADY);
    EXPECT_EQ(creationCode(*adopted, -1), EALREADY);
    CloseStream(*adopted);
    EXPECT_EQ(creationCode(*adopted, second), EALREADY);
    Ref<TCPClientSocket> client;
    GetSystemFactory().CreateTCPClientSocket(client);
    EXPECT_EQ(creationCode(*client, second), EALREADY);
    EXPECT_EQ(fcntl(second, F_GETFD), FD_CLOEXEC) << "the refused descriptor stays open";
    for (int fd : {firstPeer, second, secondPeer}) {
        close(fd);
    }
}

}  // namespace
}  // namespace Tarvos::System
