#include "mapping/prefix.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

TEST(Prefix, Placeholder) { in6_addr a{}; EXPECT_EQ(prefix_differs(&a, &a, 64), 0); }
