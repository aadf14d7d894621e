#include <gtest/gtest.h>

extern "C" int kysupp_c_smoke(void);

TEST(SupportCApi, HeadersWorkFromC) { EXPECT_EQ(kysupp_c_smoke(), 0); }
