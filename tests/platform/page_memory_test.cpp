#include "platform/page_memory.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace zs {
namespace {

DWORD stateAt(const uint8_t* p) {
  MEMORY_BASIC_INFORMATION info{};
  VirtualQuery(p, &info, sizeof(info));
  return info.State;
}

// What is given back is exactly the whole pages inside the range: the bytes of the partial pages
// at either end are still there, the rest is decommitted, and the memory goes as a whole after.
TEST(PageMemory, DiscardTakesOnlyTheWholePagesInsideTheRange) {
  const uint64_t page = PageMemory::pageSize();
  PageMemory m;
  ASSERT_TRUE(m.allocate(8 * page, nullptr));
  for (uint64_t i = 0; i < 8 * page; ++i) m.get()[i] = static_cast<uint8_t>(i % 251);

  unsigned long error = 0;
  ASSERT_TRUE(m.discard(page + 1, 4 * page, &error)) << error;  // pages 2, 3 and 4; 1 and 5 are partial
  EXPECT_EQ(stateAt(m.get() + page), static_cast<DWORD>(MEM_COMMIT));
  EXPECT_EQ(stateAt(m.get() + 2 * page), static_cast<DWORD>(MEM_RESERVE));
  EXPECT_EQ(stateAt(m.get() + 4 * page + page - 1), static_cast<DWORD>(MEM_RESERVE));
  EXPECT_EQ(stateAt(m.get() + 5 * page), static_cast<DWORD>(MEM_COMMIT));
  for (uint64_t i : {uint64_t{0}, page, 2 * page - 1, 5 * page, 5 * page + 1, 8 * page - 1})
    EXPECT_EQ(m.get()[i], static_cast<uint8_t>(i % 251)) << i;

  // Less than a page, or past the end, gives back nothing and is no failure.
  ASSERT_TRUE(m.discard(6 * page + 1, page - 2, &error));
  ASSERT_TRUE(m.discard(100 * page, page, &error));
  EXPECT_EQ(stateAt(m.get() + 6 * page), static_cast<DWORD>(MEM_COMMIT));
  ASSERT_TRUE(m.discard(7 * page, 50 * page, &error));  // clipped to the end
  EXPECT_EQ(stateAt(m.get() + 7 * page), static_cast<DWORD>(MEM_RESERVE));

  const uint8_t* base = m.get();
  PageMemory moved = std::move(m);
  EXPECT_TRUE(m.empty());
  moved.reset();
  EXPECT_EQ(stateAt(base), static_cast<DWORD>(MEM_FREE));
}

}  // namespace
}  // namespace zs
