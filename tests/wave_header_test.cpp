#include <gtest/gtest.h>
#include "wave_header.hpp"
TEST(Assem, Values) { EXPECT_EQ(ostrel::Assem2(0xFF, 0xFF), 65535); }
