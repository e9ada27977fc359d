#include "tarvos/core/Object.h"

#include <unistd.h>

#include <atomic>
#include <sstream>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tarvos/core/Ref.h"
#include "tarvos/core/Scoreboard.h"

namespace Tarvos {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// What happened to tracked objects, in order.
struct EventLog {
    std::vector<std::string> events;
    void Add(const std::string& event) { events.push_back(event); }
};

// Records OnLastRelease and destruction, and what a watched Ref held when the object learned of
// its last release.
class Tracked : public ObjectImpl {
public:
    explicit Tracked(EventLog& log, const Ref<Tracked>* watched = nullptr)
        : _log(log), _watched(watched) {}
    ~Tracked() override { _log.Add("destroyed"); }

protected:
    void OnLastRelease() override {
        _log.Add("last release");
        if (_watched != nullptr) {
            _log.Add(_watched->Get() == nullptr ? "watched ref null" : "watched ref set");
        }
    }

private:
    EventLog& _log;
    const Ref<Tracked>* _watched;
};

// Records every count change with its holder, then lets ObjectImpl do the work.
class HolderSpy : public ObjectImpl {
public:
    struct Call {
        char kind;  // '+' or '-'
        const void* holder;
        const HolderSpy* object;
    };

    explicit HolderSpy(std::vector<Call>& calls) : _calls(calls) {}

    void IncRef(const void* holder) override {
        _calls.push_back({'+', holder, this});
        ObjectImpl::IncRef(holder);
    }
    void DecRef(const void* holder) override {
        _calls.push_back({'-', holder, this});
        ObjectImpl::DecRef(holder);
    }
    using ObjectImpl::DecRef;
    using ObjectImpl::IncRef;

private:
    std::vector<Call>& _calls;
};

class Shape : public virtual Object {
public:
    virtual int Corners() const = 0;
};

class Named : public virtual Object {
public:
    virtual std::string Name() const = 0;
};

class Square final : public Shape, public Named, public ObjectImpl {
public:
    int Corners() const override { return 4; }
    std::string Name() const override { return "square"; }
};

class Circle final : public Shape, public ObjectImpl {
public:
    int Corners() const override { return 0; }
};

const void* const kUnknownHolder = reinterpret_cast<const void*>(-1);

class RefTest : public ::testing::Test {
protected:
    EventLog log;
};

TEST_F(RefTest, ConstructionAndCopiesCountReferences) {
    auto* object = new Tracked(log);
    EXPECT_EQ(object->GetRefCount(), 0);
    {
        Ref<Tracked> first(object);
        EXPECT_EQ(object->GetRefCount(), 1);
        {
            Ref<Tracked> second(first);
            EXPECT_EQ(object->GetRefCount(), 2);
            Ref<Tracked> third;
            third = second;
            EXPECT_EQ(object->GetRefCount(), 3);
        }
        EXPECT_EQ(object->GetRefCount(), 1);
        EXPECT_TRUE(log.events.empty());
    }
    EXPECT_EQ(log.events, (std::vector<std::string>{"last release", "destroyed"}));
}

TEST_F(RefTest, AssigningThePointerAlreadyHeldKeepsTheCount) {
    auto* object = new Tracked(log);
    Ref<Tracked> ref(object);
    ref = object;
    EXPECT_EQ(object->GetRefCount(), 1);
    Ref<Tracked> other(object);
    ref = other;
    EXPECT_EQ(object->GetRefCount(), 2);
    EXPECT_TRUE(log.events.empty());
}

TEST_F(RefTest, SelfAssignmentChainsNeitherDestroyNorLeak) {
    Ref<Tracked> a(new Tracked(log));
    Ref<Tracked> b(a);
    Ref<Tracked>& alias = a;
    a = alias;
    a = b;
    b = a;
    a = std::move(alias);
    EXPECT_EQ(a->GetRefCount(), 2);
    EXPECT_TRUE(log.events.empty());
    a.Reset();
    EXPECT_TRUE(log.events.empty());
    b.Reset();
    EXPECT_EQ(log.events, (std::vector<std::string>{"last release", "destroyed"}));
}

TEST_F(RefTest, EveryReferenceNamesTheRefAsHolder) {
    std::vector<HolderSpy::Call> calls;
    auto* object = new HolderSpy(calls);
    {
        Ref<HolderSpy> ref(object);
        Ref<HolderSpy> copy(ref);
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[0].holder, &ref);
        EXPECT_EQ(calls[1].holder, &copy);
        copy.Reset();
        ASSERT_EQ(calls.size(), 3u);
        EXPECT_EQ(calls[2].kind, '-');
        EXPECT_EQ(calls[2].holder, &copy);
        calls.clear();
    }
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, '-');
}

TEST_F(RefTest, ArgumentlessCountChangesUseTheUnknownHolder) {
    std::vector<HolderSpy::Call> calls;
    auto* object = new HolderSpy(calls);
    object->IncRef();
    object->DecRef();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].kind, '+');
    EXPECT_EQ(calls[0].holder, kUnknownHolder);
    EXPECT_EQ(calls[1].kind, '-');
    EXPECT_EQ(calls[1].holder, kUnknownHolder);
}

TEST_F(RefTest, AssigningAnotherObjectTakesTheNewReferenceBeforeDroppingTheOld) {
    std::vector<HolderSpy::Call> calls;
    auto* first = new HolderSpy(calls);
    auto* second = new HolderSpy(calls);
    Ref<HolderSpy> ref(first);
    calls.clear();
    ref = second;
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].kind, '+');
    EXPECT_EQ(calls[0].object, second);
    EXPECT_EQ(calls[0].holder, &ref);
    EXPECT_EQ(calls[1].kind, '-');
    EXPECT_EQ(calls[1].object, first);
    EXPECT_EQ(calls[1].holder, &ref);
}

TEST_F(RefTest, MovesTransferTheReferenceWithoutCounting) {
    std::vector<HolderSpy::Call> calls;
    Ref<HolderSpy> source(new HolderSpy(calls));
    HolderSpy* object = source.Get();
    calls.clear();
    Ref<HolderSpy> moved(std::move(source));
    EXPECT_TRUE(source.IsNull());
    EXPECT_EQ(moved.Get(), object);
    Ref<Object> converted(std::move(moved));
    EXPECT_TRUE(moved.IsNull());
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(object->GetRefCount(), 1);

    EventLog other;
    Ref<Tracked> target(new Tracked(other));
    Ref<Tracked> from(new Tracked(log));
    target = std::move(from);
    EXPECT_TRUE(from.IsNull());
    EXPECT_EQ(other.events, (std::vector<std::string>{"last release", "destroyed"}));
    EXPECT_TRUE(log.events.empty());
    EXPECT_EQ(target->GetRefCount(), 1);
}

TEST_F(RefTest, ConversionsShareOneCountAcrossInterfaces) {
    Ref<Square> square(new Square());
    Ref<Shape> shape(square);
    Ref<Object> object;
    object = square;
    EXPECT_EQ(square->GetRefCount(), 3);
    EXPECT_EQ(shape->Corners(), 4);

    Ref<Named> named = RefCast<Named>(shape);
    ASSERT_TRUE(named);
    EXPECT_EQ(named->Name(), "square");
    EXPECT_EQ(square->GetRefCount(), 4);
    EXPECT_TRUE(RefCast<Circle>(shape).IsNull());
    EXPECT_TRUE(RefCast<Square>(Ref<Shape>()).IsNull());
}

TEST_F(RefTest, ResetEmptiesTheRefBeforeTheObjectLearnsOfItsRelease) {
    Ref<Tracked> ref;
    ref = new Tracked(log, &ref);
    ref.Reset();
    EXPECT_EQ(log.events,
              (std::vector<std::string>{"last release", "watched ref null", "destroyed"}));
}

TEST_F(RefTest, AssigningNullEmptiesTheRefBeforeTheRelease) {
    Ref<Tracked> ref;
    ref = new Tracked(log, &ref);
    ref = nullptr;
    EXPECT_EQ(log.events,
              (std::vector<std::string>{"last release", "watched ref null", "destroyed"}));
}

TEST_F(RefTest, ReassignmentHoldsTheNewObjectWhenTheOldOneIsReleased) {
    EventLog other;
    Ref<Tracked> ref;
    ref = new Tracked(log, &ref);
    ref = new Tracked(other);
    EXPECT_EQ(log.events,
              (std::vector<std::string>{"last release", "watched ref set", "destroyed"}));
    EXPECT_TRUE(other.events.empty());
}

TEST_F(RefTest, MoveAssignmentHoldsTheNewObjectWhenTheOldOneIsReleased) {
    EventLog other;
    Ref<Tracked> ref;
    ref = new Tracked(log, &ref);
    Ref<Tracked> next(new Tracked(other));
    ref = std::move(next);
    EXPECT_EQ(log.events,
              (std::vector<std::string>{"last release", "watched ref set", "destroyed"}));
}

TEST(ObjectImplTest, CopiedObjectStartsWithoutReferences) {
    EventLog log;
    Ref<Tracked> original(new Tracked(log));
    Tracked copy(*original);
    EXPECT_EQ(copy.GetRefCount(), 0);
    EXPECT_EQ(original->GetRefCount(), 1);
}

TEST(ObjectImplTest, ToStringNamesTheMostDerivedClassAndTheAddress) {
    Ref<Square> square(new Square());
    const Ref<Shape> shape(square);
    const std::string text = shape->ToString();

    std::ostringstream address;
    address << static_cast<const void*>(static_cast<const ObjectImpl*>(square.Get()));
    EXPECT_EQ(text, "[Tarvos::(anonymous namespace)::Square:" + address.str() + "]");
    const Ref<Named> named = RefCast<Named>(shape);
    EXPECT_EQ(named->ToString(), text);
}

TEST(ObjectImplTest, TypeNamesAreDemangled) {
    EXPECT_EQ(DemangleTypeName(typeid(Circle).name()), "Tarvos::(anonymous namespace)::Circle");
    EXPECT_EQ(DemangleTypeName("not a mangled name"), "not a mangled name");
    Ref<Shape> circle(new Circle());
    EXPECT_EQ(GetTypeName(*circle), "Tarvos::(anonymous namespace)::Circle");
}

// Concurrency: copies and releases of one object on several threads.
TEST(ObjectImplConcurrencyTest, ConcurrentCopiesKeepTheCountExact) {
    EventLog log;
    Ref<Tracked> shared(new Tracked(log));
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&shared] {
            for (int i = 0; i < kRounds; ++i) {
                Ref<Tracked> copy(shared);
                Ref<Tracked> second;
                second = copy;
                Ref<Tracked> moved(std::move(second));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(shared->GetRefCount(), 1);
    EXPECT_TRUE(log.events.empty());
}

TEST(ObjectImplConcurrencyTest, SimultaneousLastReleasesDestroyOnce) {
    constexpr int kThreads = 4;
    for (int round = 0; round < 20; ++round) {
        std::atomic<int> lastReleases{0};
        std::atomic<int> destructions{0};
        struct Counted : ObjectImpl {
            std::atomic<int>& released;
            std::atomic<int>& destroyed;
            Counted(std::atomic<int>& r, std::atomic<int>& d) : released(r), destroyed(d) {}
            ~Counted() override { destroyed.fetch_add(1); }
            void OnLastRelease() override { released.fetch_add(1); }
        };
        std::vector<Ref<Counted>> refs(kThreads);
        refs[0] = new Counted(lastReleases, destructions);
        for (int t = 1; t < kThreads; ++t) {
            refs[t] = refs[0];
        }
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                while (!go.load()) {
                    std::this_thread::yield();
                }
                refs[t].Reset();
            });
        }
        go.store(true);
        for (auto& thread : threads) {
            thread.join();
        }
        ASSERT_EQ(lastReleases.load(), 1);
        ASSERT_EQ(destructions.load(), 1);
    }
}

// ---------------------------------------------------------------------------------------------
// The census table, tested on a private table with keys chosen by bucket.

// Addresses usable as keys: bytes of a zeroed block, so each names an empty type name.
char g_keySpace[1 << 16];

// `count` distinct keys that all hash to `bucket`.
std::vector<const void*> KeysInBucket(int32_t bucket, size_t count) {
    std::vector<const void*> keys;
    for (size_t i = 0; i < sizeof g_keySpace && keys.size() < count; ++i) {
        if (ScoreboardHash2D::BucketOf(&g_keySpace[i]) == bucket) {
            keys.push_back(&g_keySpace[i]);
        }
    }
    return keys;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class ScoreboardTest : public ::testing::Test {
protected:
    std::unique_ptr<ScoreboardHash2D> table = std::make_unique<ScoreboardHash2D>();
};

TEST_F(ScoreboardTest, BucketFollowsTheIntegerMix) {
    // The mix as the census defines it, for addresses that fit 32 bits.
    auto reference = [](uint32_t k) {
        k = ~(k << 15) + k;
        k = k ^ (k >> 10);
        k = k * 9;
        k = k ^ (k >> 6);
        k = k + ~(k << 11);
        k = k ^ (k >> 16);
        const int64_t s = static_cast<int32_t>(k);
        return static_cast<int32_t>((s < 0 ? -s : s) % 2003);
    };
    for (uint32_t address : {1u, 8u, 0x1000u, 0xdeadbeefu, 0x7fffffffu, 0x80000000u}) {
        EXPECT_EQ(ScoreboardHash2D::BucketOf(reinterpret_cast<const void*>(uintptr_t{address})),
                  reference(address))
            << address;
    }
    for (int i = 0; i < 5000; ++i) {
        const int32_t bucket = ScoreboardHash2D::BucketOf(&g_keySpace[i]);
        ASSERT_GE(bucket, 0);
        ASSERT_LT(bucket, 2003);
    }
}

TEST_F(ScoreboardTest, CountsAddUpPerKey) {
    const auto keys = KeysInBucket(ScoreboardHash2D::BucketOf(&g_keySpace[100]), 2);
    ASSERT_EQ(keys.size(), 2u);
    const int32_t entry = table->Add(keys[0], 1);
    EXPECT_EQ(table->Add(keys[0], 1), entry);
    table->Add(keys[1], 1);
    table->AddAt(entry, 5);
    EXPECT_EQ(table->CountOf(keys[0]), 7);
    EXPECT_EQ(table->CountOf(keys[1]), 1);
    table->Add(keys[0], -7);
    EXPECT_EQ(table->CountOf(keys[0]), 0);
    EXPECT_EQ(table->GetOverflow(), 0);
}

TEST_F(ScoreboardTest, NinthKeyOfABucketGoesToTheOverflow) {
    const int32_t bucket = 77;
    const auto keys = KeysInBucket(bucket, 10);
    ASSERT_EQ(keys.size(), 10u);
    for (size_t i = 0; i < keys.size(); ++i) {
        const int32_t entry = table->Add(keys[i], static_cast<int32_t>(i) + 1);
        if (i < 8) {
            EXPECT_EQ(entry, bucket * 8 + static_cast<int32_t>(i));
        } else {
            EXPECT_EQ(entry, -1);
        }
    }
    EXPECT_EQ(table->GetOverflow(), 9 + 10);
    // A key already in the bucket still finds its entry when the bucket is full.
    EXPECT_EQ(table->Add(keys[3], 1), bucket * 8 + 3);
    EXPECT_EQ(table->CountOf(keys[3]), 5);
    // Released overflow objects leave the overflow counter.
    EXPECT_EQ(table->Add(keys[9], -10), -1);
    EXPECT_EQ(table->GetOverflow(), 9);
}

TEST_F(ScoreboardTest, DumpListsEntriesTotalsSlotSumsAndOverflow) {
    const auto first = KeysInBucket(5, 9);
    const auto second = KeysInBucket(1999, 2);
    for (size_t i = 0; i < first.size(); ++i) {
        table->Add(first[i], static_cast<int32_t>(i) + 1);  // 1..8 stored, 9 overflows
    }
    table->Add(second[0], 10);
    table->Add(second[1], -3);

    std::string dump = "before\n";
    table->Dump(dump);
    const std::vector<std::string> expected = {
        "before",         "(5,0) =>  - 1",     "(5,1) =>  - 2",     "(5,2) =>  - 3",
        "(5,3) =>  - 4",  "(5,4) =>  - 5",     "(5,5) =>  - 6",     "(5,6) =>  - 7",
        "(5,7) =>  - 8",  "(1999,0) =>  - 10", "(1999,1) =>  - -3", "Total count: 43",
        "Bucket counts:", "  0 - 11",          "  1 - -1",          "  2 - 3",
        "  3 - 4",        "  4 - 5",           "  5 - 6",           "  6 - 7",
        "  7 - 8",        "Other objects: 9",
    };
    EXPECT_EQ(Lines(dump), expected);
    EXPECT_EQ(dump.back(), '\n');
}

TEST_F(ScoreboardTest, OverlongDumpLineIsCutAndMarked) {
    // A key whose text is far longer than a dump line.
    static char longName[700];
    std::fill(longName, longName + sizeof longName - 1, 'x');
    table->Add(longName, 3);
    std::string dump;
    table->Dump(dump);
    const std::vector<std::string> lines = Lines(dump);
    ASSERT_FALSE(lines.empty());
    const std::string& line = lines[0];
    EXPECT_EQ(line.size(), 511u + std::string(" (output truncated)").size());
    EXPECT_THAT(line, StartsWith("(" + std::to_string(ScoreboardHash2D::BucketOf(longName)) +
                                 ",0) => xxxx"));
    EXPECT_THAT(line, ::testing::EndsWith("xxx (output truncated)"));
}

TEST_F(ScoreboardTest, ConcurrentRegistrationOfOneKeyCountsEveryUpdate) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 5000;
    const auto keys = KeysInBucket(321, 3);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                for (const void* key : keys) {
                    table->Add(key, 1);
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    // A key may own two entries after a race; CountOf sums them, the overflow takes the rest.
    int32_t total = table->GetOverflow();
    for (const void* key : keys) {
        total += table->CountOf(key);
    }
    EXPECT_EQ(total, kThreads * kRounds * 3);
}

// ---------------------------------------------------------------------------------------------
// The process's census, fed by ObjectImpl.

template <int N>
class Probe final : public ObjectImpl {};

template <class T>
int32_t LiveCount() {
    const ScoreboardHash2D* census = g_objectCensus.load();
    return census == nullptr ? 0 : census->CountOf(typeid(T).name());
}

TEST(ObjectCensusTest, CountsReferencedObjectsPerType) {
    const int32_t before = LiveCount<Probe<1>>();
    auto* unreferenced = new Probe<1>();
    EXPECT_EQ(LiveCount<Probe<1>>(), before);
    {
        Ref<Probe<1>> a(new Probe<1>());
        Ref<Object> b(new Probe<1>());
        Ref<Probe<1>> c(a);
        Ref<Probe<2>> other(new Probe<2>());
        ASSERT_NE(g_objectCensus.load(), nullptr);
        EXPECT_EQ(LiveCount<Probe<1>>(), before + 2);

        std::string dump;
        GetObjectCensus(dump);
        const std::string name = DemangleTypeName(typeid(Probe<1>).name());
        EXPECT_THAT(dump, HasSubstr(") => " + name + " - " + std::to_string(before + 2) + "\n"));
        EXPECT_THAT(dump, HasSubstr("\nTotal count: "));
        EXPECT_THAT(dump, HasSubstr("\nBucket counts:\n  0 - "));
        EXPECT_THAT(dump, HasSubstr("\nOther objects: "));
    }
    EXPECT_EQ(LiveCount<Probe<1>>(), before);
    delete unreferenced;
}

TEST(ObjectCensusTest, GetObjectCensusAppends) {
    Ref<Probe<3>> keepAlive(new Probe<3>());
    std::string text = "kept";
    GetObjectCensus(text);
    EXPECT_THAT(text, StartsWith("kept("));
    EXPECT_THAT(text, ::testing::EndsWith("\n"));
}

TEST(ObjectCensusTest, LiveTypeBeyondAFullBucketIsCountedAsOtherObjects) {
    using Overflowing = Probe<4>;
    Ref<Probe<0>> first(new Probe<0>());  // the census exists from here on
    ScoreboardHash2D* census = g_objectCensus.load();
    ASSERT_NE(census, nullptr);
    const char* key = typeid(Overflowing).name();
    const int32_t bucket = ScoreboardHash2D::BucketOf(key);
    const std::string name = DemangleTypeName(key);
    std::string dump;
    census->Dump(dump);
    if (dump.find(") => " + name + " - ") != std::string::npos) {
        GTEST_SKIP() << "the probe type already owns an entry (repeated run)";
    }

    // Eight other types occupy the bucket: fill what is still free with stand-in keys.
    std::vector<const void*> fillers;
    for (const void* filler : KeysInBucket(bucket, 9)) {
        if (census->Add(filler, 1) < 0) {
            census->AddAt(-1, -1);
            break;
        }
        fillers.push_back(filler);
    }
    const int32_t overflowBefore = census->GetOverflow();
    {
        Ref<Overflowing> live(new Overflowing());
        Ref<Overflowing> again(live);
        Ref<Object> another(new Overflowing());
        EXPECT_EQ(census->GetOverflow(), overflowBefore + 2);
        EXPECT_EQ(census->CountOf(key), 0);
        std::string text;
        GetObjectCensus(text);
        EXPECT_THAT(text, HasSubstr("\nOther objects: " + std::to_string(overflowBefore + 2)));
        EXPECT_THAT(text, ::testing::Not(HasSubstr(") => " + name + " - ")));
    }
    EXPECT_EQ(census->GetOverflow(), overflowBefore);
    for (const void* filler : fillers) {
        census->Add(filler, -1);
    }
}

TEST(ObjectCensusDeathTest, CensusBeforeAnyReferenceLeavesTheTextUnchanged) {
    // Needs a process in which no object was ever referenced: the child re-runs the binary
    // with this test alone.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            if (g_objectCensus.load() != nullptr) {
                std::fputs("an object was referenced before the test ran\n", stderr);
                _exit(3);
            }
            std::string text = "unchanged";
            GetObjectCensus(text);
            _exit(text == "unchanged" ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace Tarvos
