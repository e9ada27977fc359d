#include "tarvos/core/TicketMixin.h"

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"
#include "tarvos/core/Session.h"

namespace Tarvos {
namespace {

constexpr int64_t kHour = 3600LL * 1000000;

// The text form of a random (version 4, variant 1) UUID in lower case.
bool IsRandomUuid(const std::string& id) {
    const std::string shape = "xxxxxxxx-xxxx-4xxx-vxxx-xxxxxxxxxxxx";
    if (id.size() != shape.size()) {
        return false;
    }
    for (size_t i = 0; i < id.size(); ++i) {
        const char c = id[i];
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        const bool variant = c == '8' || c == '9' || c == 'a' || c == 'b';
        if (!(shape[i] == 'x' ? hex : shape[i] == 'v' ? variant : c == shape[i])) {
            return false;
        }
    }
    return true;
}

TEST(TicketMixinTest, GeneratedIdsAreDistinctLowerCaseRandomUuids) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const std::string id = TicketMixin("u", 1, 0).GetTicketId();
        ASSERT_TRUE(IsRandomUuid(id)) << id;
        ASSERT_TRUE(seen.insert(id).second) << id;
    }
}

TEST(TicketMixinTest, UseSpendsOneUseUntilSpentOrPastItsTime) {
    Ref<TicketMixin> ticket(new TicketMixin("u", "t", 2, SessionNow() + kHour));
    ticket->Use();
    EXPECT_FALSE(ticket->IsExpired());
    ticket->Use();
    EXPECT_TRUE(ticket->IsExpired());
    EXPECT_THROW(ticket->Use(), TicketExpiredException);
    EXPECT_EQ(ticket->GetRemainingUses(), 0);

    Ref<TicketMixin> late(new TicketMixin("u", "t", 5, SessionNow() - 1));
    EXPECT_TRUE(late->IsExpired());
    EXPECT_THROW(late->Use(), TicketExpiredException);
    EXPECT_EQ(late->GetRemainingUses(), 5);
    EXPECT_TRUE(Ref<TicketMixin>(new TicketMixin("u", "t", 1, kNever))->IsExpired());
}

TEST(TicketMixinTest, CopyAndAssignmentTakeTheFieldsButNotTheLock) {
    Ref<TicketMixin> original(new TicketMixin("u", "t", 2, 99));
    Ref<TicketMixin> copy(new TicketMixin(*original));
    Ref<TicketMixin> assigned(new TicketMixin("x", "y", 7, 1));
    *assigned = *original;
    original->Clear();
    EXPECT_EQ(original->GetUser() + original->GetTicketId(), "");
    EXPECT_EQ(original->GetExpiration() + original->GetRemainingUses(), 0);
    for (const Ref<TicketMixin>& ticket : {copy, assigned}) {
        EXPECT_EQ(ticket->GetUser(), "u");
        EXPECT_EQ(ticket->GetTicketId(), "t");
        EXPECT_EQ(ticket->GetExpiration(), 99);
        EXPECT_EQ(ticket->GetRemainingUses(), 2);
        ticket->LockWrite();
        EXPECT_TRUE(original->IsUnlocked());
        ticket->Unlock();
    }
}

}  // namespace
}  // namespace Tarvos
