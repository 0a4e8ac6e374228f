// The SDK version: the number plugins test with #if and the text the core
// prints and publishes are one version, and later versions compare greater.
#include "dvrcore/version.h"

#include <gtest/gtest.h>

#include <cstdio>

#if OX_SDK_VERSION < OX_SDK_VERSION_OF(0, 0, 0, 1) // as a plugin tests it
#error "OX_SDK_VERSION is no number the preprocessor can compare"
#endif

TEST(SdkVersion, NumberAndTextAreOneVersionInOrder) {
    unsigned v[4] = {};
    ASSERT_EQ(std::sscanf(OX_SDK_VERSION_STRING, "%u.%u.%u.%u", &v[0], &v[1], &v[2], &v[3]), 4);
    EXPECT_EQ(OX_SDK_VERSION, OX_SDK_VERSION_OF(v[0], v[1], v[2], v[3]));
    EXPECT_LT(OX_SDK_VERSION_OF(26, 0, 255, 255), OX_SDK_VERSION_OF(26, 1, 0, 0));
    EXPECT_LT(OX_SDK_VERSION_OF(26, 255, 255, 255), OX_SDK_VERSION_OF(27, 0, 0, 0));
}
