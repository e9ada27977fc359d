#include "tarvos/system/StreamBase.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/internal/StreamTestSupport.h"

namespace Tarvos::System {
namespace {

using Testing::CodeOf;
using Testing::Completions;
using Testing::RunOnPoolThread;
using Testing::WaitUntil;

// A connected TCP pair: `_near` is the client socket, `_far` the accepted end.
class StreamStateTest : public Testing::PoolFixture {
protected:
    void SetUp() override {
        PoolFixture::SetUp();
        _server = Listen();
        Ref<TCPClientSocket> client;
        Connect(_server, client, _far);
        _near = client;
    }
    void TearDown() override {
        for (const Ref<Stream>& stream : {_near, _far}) {
            if (stream) {
                CloseStream(*stream);
            }
        }
        _near.Reset();
        _far.Reset();
        _server->Close();
        _server.Reset();
        PoolFixture::TearDown();
    }

    void Send(const Ref<Stream>& to, const std::string& text) {
        to->Write(text.data(), static_cast<int32_t>(text.size()));
    }

    // Starts a write to `_near` that cannot finish while `_far` reads nothing.
    void StartStuckWrite(Completions& done) {
        _big.assign(64 << 20, 'x');
        _near->WriteInitiate(_big.data(), static_cast<int32_t>(_big.size()), done.WriteCallback());
    }

    Ref<TCPServerSocket> _server;
    Ref<Stream> _near;
    Ref<Stream> _far;
    std::vector<char> _big;
    char _buffer[64] = {};
};

TEST_F(StreamStateTest, SecondReadBeforeTheFirstCompletedIsInProgressButAWriteMayStart) {
    Completions reads;
    Completions writes;
    _near->ReadInitiate(_buffer, sizeof _buffer, reads.ReadCallback());
    EXPECT_THROW(_near->ReadInitiate(_buffer, sizeof _buffer, reads.ReadCallback()),
                 InProgressException);
    EXPECT_THROW(_near->Read(_buffer, sizeof _buffer), InProgressException);
    _near->WriteInitiate("ping", 4, writes.WriteCallback());
    ASSERT_TRUE(writes.WaitFor(1));
    EXPECT_EQ(writes.Code(), 0);
    Send(_far, "pong");
    ASSERT_TRUE(reads.WaitFor(1));
    EXPECT_EQ(reads.Bytes(), 4);
    EXPECT_EQ(std::string(_buffer, 4), "pong");
    EXPECT_EQ(reads.Count(), 1);
}

TEST_F(StreamStateTest, WaitingWithNothingStartedIsNotInProgress) {
    EXPECT_THROW(_near->WaitRead(), NotInProgressException);
    EXPECT_THROW(_near->WaitWrite(), NotInProgressException);
    EXPECT_THROW(_near->TimedWaitRead(1000), NotInProgressException);
}

TEST_F(StreamStateTest, NegativeTimeLimitIsAnInvalidArgument) {
    _near->ReadInitiate(_buffer, sizeof _buffer, nullptr);
    EXPECT_THROW(_near->TimedWaitRead(-1), InvalidArgumentException);
    EXPECT_THROW(_near->TimedWaitWrite(-1), InvalidArgumentException);
    Send(_far, "x");
    EXPECT_EQ(_near->WaitRead(), 1);
}

TEST_F(StreamStateTest, ReadWithoutCallbackIsHeldUntilWaitReadCollectsIt) {
    _near->ReadInitiate(_buffer, sizeof _buffer, nullptr);
    Send(_far, "hello");
    // The result arrives and is held: a new read is refused until it is collected, and no
    // worker is kept waiting for the collector meanwhile (a queued task still runs).
    std::atomic<bool> ran{false};
    _pool->QueueWork(MakeTask([&] { ran = true; }));
    ASSERT_TRUE(WaitUntil([&] { return ran.load(); }));
    EXPECT_THROW(_near->ReadInitiate(_buffer, sizeof _buffer, nullptr), InProgressException);
    EXPECT_EQ(_near->WaitRead(), 5);
    EXPECT_EQ(std::string(_buffer, 5), "hello");
    EXPECT_THROW(_near->WaitRead(), NotInProgressException);
    _near->ReadInitiate(_buffer, sizeof _buffer, nullptr);  // accepted again
    Send(_far, "!");
    EXPECT_EQ(_near->TimedWaitRead(20000000), 1);
}

TEST_F(StreamStateTest, ZeroTimeLimitOnAPendingReadTimesOutAndTheReadStaysPending) {
    _near->ReadInitiate(_buffer, sizeof _buffer, nullptr);
    EXPECT_THROW(_near->TimedWaitRead(0), TimeoutException);
    EXPECT_THROW(_near->TimedWaitRead(1000), TimeoutException);
    EXPECT_THROW(_near->ReadInitiate(_buffer, sizeof _buffer, nullptr), InProgressException);
    Send(_far, "late");
    EXPECT_EQ(_near->WaitRead(), 4);
}

TEST_F(StreamStateTest, WriteOfLengthZeroIsAnInvalidArgumentAndBadArgumentsAreRefused) {
    EXPECT_THROW(_near->Write("", 0), InvalidArgumentException);
    EXPECT_THROW(_near->WriteInitiate("", 0, nullptr), InvalidArgumentException);
    EXPECT_THROW(_near->Read(_buffer, -1), InvalidArgumentException);
    EXPECT_THROW(_near->ReadInitiate(nullptr, 4, nullptr), InvalidArgumentException);
    // None of them left the direction busy.
    Send(_near, "ok");
    EXPECT_EQ(_far->Read(_buffer, sizeof _buffer), 2);
}

TEST_F(StreamStateTest, ZeroLengthReadReportsArrivingDataWithoutConsumingIt) {
    Completions ready;
    _near->ReadInitiate(_buffer, 0, ready.ReadCallback());
    Send(_far, "abc");
    ASSERT_TRUE(ready.WaitFor(1));
    EXPECT_EQ(ready.Code(), 0);
    EXPECT_EQ(ready.Bytes(), 0);
    EXPECT_EQ(_near->Read(_buffer, sizeof _buffer), 3);
    EXPECT_EQ(std::string(_buffer, 3), "abc");
}

TEST_F(StreamStateTest, ZeroLengthReadCompletesWhenThePeerCloses) {
    Completions ready;
    _near->ReadInitiate(_buffer, 0, ready.ReadCallback());
    CloseStream(*_far);
    ASSERT_TRUE(ready.WaitFor(1));
    EXPECT_EQ(ready.Code(), 0);
    EXPECT_EQ(_near->Read(_buffer, sizeof _buffer), 0);
}

// The limit is on each wait for the peer, not on the whole write: a peer that keeps reading,
// however slowly, is served; one that stops loses the stream.
TEST_F(StreamStateTest, BlockingWriteWaitsForASlowPeerButNotForOneThatStopsReading) {
    ASSERT_TRUE(SetWriteWaitLimit(*_far, 500000));
    const std::string slow(8 << 20, 's');
    std::thread reader([this] {
        char sink[65536];
        for (size_t total = 0; total < (8u << 20);) {
            std::this_thread::sleep_for(std::chrono::milliseconds(8));
            total += static_cast<size_t>(_near->Read(sink, sizeof sink));
        }
    });
    EXPECT_NO_THROW(_far->Write(slow.data(), static_cast<int32_t>(slow.size())));
    reader.join();

    ASSERT_TRUE(SetWriteWaitLimit(*_near, 100000));
    _big.assign(64 << 20, 'x');
    EXPECT_THROW(_near->Write(_big.data(), static_cast<int32_t>(_big.size())), TimeoutException);
    // Part of the bytes went out: the stream is closed rather than left mid-message.
    EXPECT_THROW(_near->Write("x", 1), PosixSystemException);
}

// A blocking read that empties the socket may take bytes whose readiness is still on its way to
// a worker: a zero-length read started after it must wait for bytes that really arrive.
TEST_F(StreamStateTest, ZeroLengthReadAfterABlockingReadEmptiedTheSocketWaitsForNewBytes) {
    for (int round = 0; round < 20; ++round) {
        Completions ready;
        _near->ReadInitiate(_buffer, 0, ready.ReadCallback());
        Send(_far, "a");
        Send(_far, "b");
        ASSERT_TRUE(ready.WaitFor(1));
        int32_t got = 0;
        while (got < 2) {
            got += _near->Read(_buffer + got, static_cast<int32_t>(sizeof _buffer) - got);
        }
        Completions idle;
        _near->ReadInitiate(_buffer, 0, idle.ReadCallback());
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_EQ(idle.Count(), 0) << "round " << round;
        Send(_far, "c");
        ASSERT_TRUE(idle.WaitFor(1));
        ASSERT_EQ(_near->Read(_buffer, sizeof _buffer), 1);
    }
}

// Readiness is remembered per direction: bytes that arrived before the read started are taken at
// once, a read that emptied the socket waits for the next arrival, and the end of the stream is
// reported to every read after it.
TEST_F(StreamStateTest, ReadsSeeDataFromBeforeTheirStartNewArrivalsAndARepeatedEnd) {
    Completions ready;
    _near->ReadInitiate(_buffer, 0, ready.ReadCallback());
    Send(_far, "abc");
    ASSERT_TRUE(ready.WaitFor(1));
    Completions reads;
    _near->ReadInitiate(_buffer, sizeof _buffer, reads.ReadCallback());
    ASSERT_TRUE(reads.WaitFor(1));
    EXPECT_EQ(reads.Bytes(), 3);
    _near->ReadInitiate(_buffer, sizeof _buffer, reads.ReadCallback());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(reads.Count(), 1);  // the socket ran empty: the read waits
    Send(_far, "de");
    ASSERT_TRUE(reads.WaitFor(2));
    EXPECT_EQ(reads.Bytes(), 2);
    EXPECT_EQ(std::string(_buffer, 2), "de");
    CloseStream(*_far);
    for (int expected = 3; expected <= 4; ++expected) {
        _near->ReadInitiate(_buffer, sizeof _buffer, reads.ReadCallback());
        ASSERT_TRUE(reads.WaitFor(expected));
        EXPECT_EQ(reads.Code(), 0);
        EXPECT_EQ(reads.Bytes(), 0);
    }
}

// A write that completes at once inside a read callback is delivered on the same worker after
// that callback returned; a callback that waits for such a write itself is not left waiting.
TEST_F(StreamStateTest, CompletionCausedByACallbackRunsAfterItAndCanBeWaitedFor) {
    std::mutex mutex;
    std::vector<std::string> events;
    int64_t readThread = 0;
    int64_t writeThread = 0;
    auto note = [&](const std::string& event) {
        std::lock_guard<std::mutex> guard(mutex);
        events.push_back(event);
    };
    Completions writes;
    _near->ReadInitiate(_buffer, sizeof _buffer,
                        MakeReadCallback([&](const Ref<Stream>& stream, const Exception*, int32_t) {
                            readThread = static_cast<int64_t>(gettid());
                            note("read begins");
                            stream->WriteInitiate(
                                "pong", 4,
                                MakeWriteCallback([&](const Ref<Stream>&, const Exception* error) {
                                    writeThread = static_cast<int64_t>(gettid());
                                    note("write completes");
                                    writes.Record(error, 0);
                                }));
                            note("read ends");
                        }));
    Send(_far, "ping");
    ASSERT_TRUE(writes.WaitFor(1));
    EXPECT_EQ(writes.Code(), 0);
    {
        std::lock_guard<std::mutex> guard(mutex);
        EXPECT_EQ(events,
                  (std::vector<std::string>{"read begins", "read ends", "write completes"}));
    }
    EXPECT_EQ(writeThread, readThread);
    EXPECT_EQ(_far->Read(_buffer, sizeof _buffer), 4);

    std::atomic<int32_t> waited{-1};
    _near->ReadInitiate(_buffer, sizeof _buffer,
                        MakeReadCallback([&](const Ref<Stream>& stream, const Exception*, int32_t) {
                            stream->WriteInitiate("again", 5, nullptr);
                            waited = stream->WaitWrite();
                        }));
    Send(_far, "go");
    ASSERT_TRUE(WaitUntil([&] { return waited.load() == 5; }));
    EXPECT_EQ(_far->Read(_buffer, sizeof _buffer), 5);
}

// Shutting the pool down ends what is in flight instead of stranding it: a pending read with a
// callback and one collected by a waiter both end as cancelled.
TEST_F(StreamStateTest, PoolShutdownCompletesPendingOperationsAsCanceled) {
    Completions reads;
    _near->ReadInitiate(_buffer, sizeof _buffer, reads.ReadCallback());
    char other[8];
    _far->ReadInitiate(other, sizeof other, nullptr);
    std::atomic<int> waiterCode{-1};
    std::thread waiter([&] {
        _pool->EnterThread();
        try {
            _far->WaitRead();
            waiterCode = 0;
        } catch (const Exception& error) {
            waiterCode = CodeOf(&error);
        }
        _pool->LeaveThread();
    });
    _pool->Shutdown();
    ASSERT_TRUE(reads.WaitFor(1));
    EXPECT_EQ(reads.Code(), ECANCELED);
    waiter.join();
    EXPECT_EQ(waiterCode.load(), ECANCELED);
}

// A raw client socket that resets its connection when closed (SO_LINGER 0).
int ConnectResettingClient(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    const linger abort{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    return fd;
}

TEST_F(StreamStateTest, ResetByThePeerReachesTheCallbackAndTheWaiterAsTheSameError) {
    const int first = ConnectResettingClient(_server->GetPort());
    Ref<Stream> viaCallback;
    _server->Accept(viaCallback);
    const int second = ConnectResettingClient(_server->GetPort());
    Ref<Stream> viaWaiter;
    _server->Accept(viaWaiter);

    Completions failed;
    viaCallback->ReadInitiate(_buffer, sizeof _buffer, failed.ReadCallback());
    viaWaiter->ReadInitiate(_buffer + 32, 32, nullptr);
    close(first);
    close(second);
    ASSERT_TRUE(failed.WaitFor(1));
    EXPECT_EQ(failed.Code(), ECONNRESET);
    try {
        viaWaiter->WaitRead();
        ADD_FAILURE() << "no error";
    } catch (const SystemException& e) {
        EXPECT_EQ(e.GetErrorCode(), ECONNRESET);
    }
    CloseStream(*viaCallback);
    CloseStream(*viaWaiter);
}

TEST_F(StreamStateTest, ResultTakenIsOnlyKnownInsideTheCallbackAndSeesTheWaiter) {
    EXPECT_THROW(_near->IsReadResultTaken(), WrongThreadException);
    std::atomic<int> takenSeen{-1};
    std::atomic<bool> wrongDirection{false};
    _near->ReadInitiate(_buffer, sizeof _buffer,
                        MakeReadCallback([&](const Ref<Stream>& stream, const Exception*, int32_t) {
                            try {
                                stream->IsWriteResultTaken();
                            } catch (const WrongThreadException&) {
                                wrongDirection = true;
                            }
                            // The waiter below collects the result while this callback runs.
                            WaitUntil([&] { return stream->IsReadResultTaken(); });
                            takenSeen = stream->IsReadResultTaken() ? 1 : 0;
                        }));
    std::atomic<int32_t> collected{-1};
    std::thread waiter([&] {
        _pool->EnterThread();
        collected = _near->WaitRead();
        _pool->LeaveThread();
    });
    ASSERT_TRUE(WaitUntil([&] {
        // Only one waiter per direction of an operation with a callback.
        try {
            _near->TimedWaitRead(0);
        } catch (const InProgressException&) {
            return true;
        } catch (const TimeoutException&) {
        }
        return false;
    }));
    Send(_far, "data");
    waiter.join();
    EXPECT_EQ(collected.load(), 4);
    ASSERT_TRUE(WaitUntil([&] { return takenSeen.load() != -1; }));
    EXPECT_EQ(takenSeen.load(), 1);
    EXPECT_TRUE(wrongDirection.load());
}

TEST_F(StreamStateTest, CallbackMayStartTheNextReadOfItsDirection) {
    std::atomic<int> received{0};
    std::string text;
    std::mutex textMutex;
    Ref<StreamReadCallback> again;
    again = MakeReadCallback([&](const Ref<Stream>& stream, const Exception* error, int32_t n) {
        if (error != nullptr || n == 0) {
            return;
        }
        {
            std::lock_guard<std::mutex> guard(textMutex);
            text.append(_buffer, n);
        }
        received += n;
        stream->ReadInitiate(_buffer, 1, again);
    });
    _near->ReadInitiate(_buffer, 1, again);
    Send(_far, "chained");
    ASSERT_TRUE(WaitUntil([&] { return received.load() == 7; }));
    {
        std::lock_guard<std::mutex> guard(textMutex);
        EXPECT_EQ(text, "chained");
    }
    CloseStream(*_near);  // ends the chain with a cancelled read
    again.Reset();
}

TEST_F(StreamStateTest, CloseCompletesPendingReadAndWriteExactlyOnceAsCanceled) {
    Completions reads;
    Completions writes;
    _near->ReadInitiate(_buffer, sizeof _buffer, reads.ReadCallback());
    StartStuckWrite(writes);
    CloseStream(*_near);
    ASSERT_TRUE(reads.WaitFor(1));
    ASSERT_TRUE(writes.WaitFor(1));
    EXPECT_EQ(reads.Code(), ECANCELED);
    EXPECT_EQ(writes.Code(), ECANCELED);
    // Whatever else was queued has run by the time a later completion-queue entry runs.
    std::atomic<bool> later{false};
    _pool->PostCallback(reinterpret_cast<uintptr_t>(&later), 0, [](uintptr_t flag, uintptr_t) {
        reinterpret_cast<std::atomic<bool>*>(flag)->store(true);
    });
    ASSERT_TRUE(WaitUntil([&] { return later.load(); }));
    EXPECT_EQ(reads.Count(), 1);
    EXPECT_EQ(writes.Count(), 1);
    // A closed stream is not connected.
    try {
        _near->ReadInitiate(_buffer, sizeof _buffer, reads.ReadCallback());
        ADD_FAILURE() << "no error";
    } catch (const SystemException& e) {
        EXPECT_EQ(e.GetErrorCode(), ENOTCONN);
    }
}

TEST_F(StreamStateTest, CloseReleasesWaitersOfOperationsWithoutCallback) {
    _near->ReadInitiate(_buffer, sizeof _buffer, nullptr);
    std::thread closer([&] {
        _pool->EnterThread();
        CloseStream(*_near);
        _pool->LeaveThread();
    });
    EXPECT_THROW(_near->WaitRead(), CanceledException);
    closer.join();
}

TEST_F(StreamStateTest, BlockingReadIsEndedByCloseFromAnotherThread) {
    std::atomic<int> outcome{0};
    std::thread reader([&] {
        _pool->EnterThread();
        try {
            _near->Read(_buffer, sizeof _buffer);
            outcome = 1;
        } catch (const CanceledException&) {
            outcome = 2;
        } catch (...) {
            outcome = 3;
        }
        _pool->LeaveThread();
    });
    // The blocking read is its direction's waiter meanwhile.
    ASSERT_TRUE(WaitUntil([&] {
        try {
            _near->WaitRead();
        } catch (const InProgressException&) {
            return true;
        } catch (const NotInProgressException&) {
        }
        return false;
    }));
    CloseStream(*_near);
    reader.join();
    EXPECT_EQ(outcome.load(), 2);
}

TEST_F(StreamStateTest, WriteToAPeerThatClosedFailsWithBrokenPipeOrReset) {
    CloseStream(*_far);
    std::vector<char> chunk(1 << 16, 'y');
    int code = 0;
    for (int i = 0; i < 1000 && code == 0; ++i) {
        try {
            _near->Write(chunk.data(), static_cast<int32_t>(chunk.size()));
        } catch (const SystemException& e) {
            code = e.GetErrorCode();
        }
    }
    EXPECT_TRUE(code == EPIPE || code == ECONNRESET) << code;
}

TEST_F(StreamStateTest, LargeWriteArrivesWhole) {
    std::vector<char> data(8 << 20);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 131 + 7);
    }
    Completions written;
    _near->WriteInitiate(data.data(), static_cast<int32_t>(data.size()), written.WriteCallback());
    std::vector<char> got(data.size());
    size_t have = 0;
    while (have < got.size()) {
        const int32_t n = _far->Read(got.data() + have, static_cast<int32_t>(got.size() - have));
        ASSERT_GT(n, 0);
        have += static_cast<size_t>(n);
    }
    ASSERT_TRUE(written.WaitFor(1));
    EXPECT_EQ(written.Code(), 0);
    EXPECT_TRUE(got == data);
}

TEST(StreamLockDeathTest, CloseWithoutTheStreamLockIsAnAssertion) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Ref<ThreadPool> pool = Testing::MakePool();
            pool->EnterThread();
            Ref<TCPClientSocket> socket;
            GetSystemFactory().CreateTCPClientSocket(socket);
            socket->Close();
        },
        "");
}

}  // namespace
}  // namespace Tarvos::System
