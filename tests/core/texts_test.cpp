// The table of console and error texts holds GBK bytes that read as written.
#include "core/texts.h"

#include <gtest/gtest.h>

#include "support/console.h"

namespace {

TEST(Texts, EveryEntryIsGbkOfItsReadableText) {
  for (const auto& entry : kestrel::text::kTable) {
    EXPECT_EQ(kestrel_test::Gbk(entry.readable), entry.gbk) << entry.name;
  }
}

}  // namespace
