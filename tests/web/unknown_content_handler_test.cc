#include "web/unknown_content_handler.h"

#include <gtest/gtest.h>

#include <string>

#include "core/base/dictionary.h"
#include "tests/largest_allocation.h"
#include "tests/web/form_feed.h"
#include "values/system_variable_hash.h"

namespace lumo {
namespace {

std::string Stored(std::string_view body, int64_t declared) {
  return SameForEverySplit(body, [&](const Pieces& pieces) {
    Dictionary dictionary;
    SystemVariableHash variables(&dictionary);
    UnknownContentHandler handler(&variables, declared);
    const std::string error = Feed(handler, pieces);
    return Variables(variables) + error;
  });
}

TEST(UnknownContentHandler, KeepsTheBodyUpToTheDeclaredLength) {
  const std::string binary("<a>\0\r\n\xff</a>", 10);
  EXPECT_EQ(Stored(binary, 10), "content_data=" + binary);
  EXPECT_EQ(Stored("<x/>", 2), "content_data=<x");
  EXPECT_EQ(Stored("", 0), "content_data=");
  EXPECT_EQ(Stored("abc", -5), "content_data=");
  EXPECT_EQ(Stored(std::string(20000, 'x'), 20000), "content_data=" + std::string(20000, 'x'));
}

// The client's number alone never sizes an allocation; one past what a
// script could hold is refused instead of aborting the process.
TEST(UnknownContentHandler, DeclaredLengthAllocatesNothing) {
  LUMO_REQUIRE_ALLOCATION_WATCH();
  LargestAllocation watch;
  EXPECT_EQ(Stored("tiny", int64_t{200} << 20), "content_data=tiny");
  EXPECT_LT(watch.Largest(), size_t{1} << 20);
  EXPECT_EQ(Stored("tiny", (int64_t{256} << 20) + 1), "!Out of memory");
  EXPECT_EQ(Stored("", int64_t{1} << 40), "!Out of memory");
}

}  // namespace
}  // namespace lumo
