// The payload limit of a post, as the core refuses it and the checker reports it.
#include "core/events/post_limit.h"
#include "support/records.h"

#include <gtest/gtest.h>

using ox::core::kMaxPostPayload;
using ox::core::overPostLimit;
using testing_support::Record;

TEST(PostLimit, SixteenMiBPassAndOnlyDecrefCancelAndCryptoClaimMore) {
    char byte = 0;
    EXPECT_FALSE(overPostLimit(Record(0, OX_TYPE_VIDEO, OX_LIVE_CLASS, &byte, kMaxPostPayload)));
    EXPECT_TRUE(overPostLimit(Record(0, OX_TYPE_VIDEO, OX_LIVE_CLASS, &byte, kMaxPostPayload + 1)));
    EXPECT_TRUE(overPostLimit(Record(0, OX_TYPE_ALARM | OX_TYPE_MODIFIER, 0, &byte, kMaxPostPayload + 1)));
    // A crypto buffer's length is its capacity, which may well pass the limit.
    for (uint32_t type : {OX_TYPE_DECREF, OX_TYPE_CANCEL, OX_TYPE_CRYPTO, OX_TYPE_CRYPTO | OX_TYPE_MODIFIER})
        EXPECT_FALSE(overPostLimit(Record(0, type, 0, &byte, 0xFFFFFFF0u))) << type;
}
