#include "engine/utf8.h"

#include <gtest/gtest.h>

namespace orvane::engine {
namespace {

TEST(Utf8, AcceptsWellFormedAndRefusesTheRest) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("plain"));
  EXPECT_TRUE(is_valid_utf8("\xC3\xA9\xE2\x80\x94\xF0\x9F\x98\x80"));  // é — 😀
  EXPECT_TRUE(is_valid_utf8("\xF4\x8F\xBF\xBF"));                      // U+10FFFF
  EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));                             // overlong '/'
  EXPECT_FALSE(is_valid_utf8("\xE0\x80\xAF"));                         // overlong
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));                         // surrogate
  EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));                     // above U+10FFFF
  EXPECT_FALSE(is_valid_utf8("\xE2\x80"));                             // cut short
  EXPECT_FALSE(is_valid_utf8("\x80"));                                 // lone continuation
  EXPECT_FALSE(is_valid_utf8("\xC3\x28"));                             // bad continuation
}

}  // namespace
}  // namespace orvane::engine
