#include "tarn/base/obj_pool.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace plinth {
namespace {

struct Counted {
  static int constructed;
  static int destroyed;
  explicit Counted(int v, std::string s = "x") : value(v), text(std::move(s)) { ++constructed; }
  ~Counted() { ++destroyed; }
  int value;
  std::string text;  // owns heap memory when long: a skipped destructor leaks
};
int Counted::constructed = 0;
int Counted::destroyed = 0;

class ObjPoolTest : public ::testing::Test {
 protected:
  void SetUp() override { Counted::constructed = Counted::destroyed = 0; }
};

TEST_F(ObjPoolTest, ConstructsAndDestroysInPlace) {
  ObjPool<Counted> pool(3);
  EXPECT_EQ(pool.capacity(), 3);
  EXPECT_EQ(pool.left(), 3);
  Counted* a = pool.Malloc(7, std::string(100, 'a'));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->value, 7);
  EXPECT_EQ(a->text.size(), 100u);
  EXPECT_EQ(Counted::constructed, 1);
  EXPECT_EQ(pool.left(), 2);
  EXPECT_EQ(pool.Free(a), 0);
  EXPECT_EQ(Counted::destroyed, 1);
  EXPECT_EQ(pool.left(), 3);
}

TEST_F(ObjPoolTest, HighestSlotFirstAndExhaustion) {
  ObjPool<Counted> pool(3);
  Counted* c = pool.Malloc(3);
  Counted* b = pool.Malloc(2);
  Counted* a = pool.Malloc(1);
  ASSERT_NE(a, nullptr);
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  EXPECT_EQ(pool.Malloc(4), nullptr);
  EXPECT_EQ(pool.Malloc(5), nullptr);
  EXPECT_EQ(pool.failed(), 2u);
  EXPECT_EQ(Counted::constructed, 3);
  EXPECT_EQ(pool.Free(b), 0);
  EXPECT_EQ(pool.Malloc(6), b) << "a returned slot is taken next";
  for (Counted* p : {a, b, c}) EXPECT_EQ(pool.Free(p), 0);
  EXPECT_EQ(Counted::constructed, 4);
  EXPECT_EQ(Counted::destroyed, 4);
}

TEST_F(ObjPoolTest, ForeignAndRepeatedReturnsAreRefused) {
  ObjPool<Counted> pool(2);
  ObjPool<Counted> other(2);
  Counted* a = pool.Malloc(1);
  Counted* b = pool.Malloc(2);
  Counted* x = other.Malloc(3);
  Counted onStack(4);
  EXPECT_EQ(pool.Free(&onStack), -1);
  EXPECT_EQ(pool.Free(x), -1);
  EXPECT_EQ(pool.Free(nullptr), -1);
  EXPECT_EQ(pool.Free(reinterpret_cast<Counted*>(reinterpret_cast<char*>(a) + 1)), -1);
  EXPECT_EQ(Counted::destroyed, 0) << "a refused return destroys nothing";

  EXPECT_EQ(pool.Free(a), 0);
  EXPECT_EQ(pool.Free(a), -1) << "second return of a slot while others are out";
  EXPECT_EQ(pool.Free(b), 0);
  EXPECT_EQ(pool.Free(b), -1) << "return beyond capacity";
  EXPECT_EQ(pool.left(), 2);
  EXPECT_EQ(Counted::destroyed, 2);
  // The pool still hands out two distinct slots, not a duplicated one.
  Counted* c = pool.Malloc(5);
  Counted* d = pool.Malloc(6);
  EXPECT_NE(c, d);
  EXPECT_EQ(pool.Malloc(7), nullptr);
  pool.Free(c);
  pool.Free(d);
  other.Free(x);
}

TEST_F(ObjPoolTest, HonoursSizeAndAlignment) {
  ObjPool<Counted> pool(4, sizeof(Counted) + 3, 4096);
  EXPECT_EQ(pool.stride() % alignof(Counted), 0u);
  EXPECT_GE(pool.stride(), sizeof(Counted) + 3);
  Counted* objs[4];
  for (auto& o : objs) {
    o = pool.Malloc(1);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(o) % alignof(Counted), 0u);
  }
  EXPECT_EQ(reinterpret_cast<uintptr_t>(objs[3]) % 4096, 0u) << "lowest slot starts the block";
  for (auto* o : objs) pool.Free(o);

  ObjPool<Counted> small(2, 1, 1);  // too small a size is raised to the type's
  EXPECT_GE(small.stride(), sizeof(Counted));
}

TEST_F(ObjPoolTest, EmptyPoolsFailEveryTake) {
  ObjPool<Counted> none(0);
  EXPECT_EQ(none.Malloc(1), nullptr);
  EXPECT_EQ(none.failed(), 1u);
  ObjPool<Counted> overflow(1 << 30, SIZE_MAX / 4);
  EXPECT_EQ(overflow.capacity(), 0);
  EXPECT_EQ(overflow.Malloc(1), nullptr);
}

struct Throws {
  explicit Throws(bool t) {
    if (t) throw std::runtime_error("no");
  }
};

TEST_F(ObjPoolTest, ThrowingConstructorKeepsTheSlot) {
  ObjPool<Throws> pool(1);
  EXPECT_THROW(pool.Malloc(true), std::runtime_error);
  EXPECT_EQ(pool.left(), 1);
  Throws* t = pool.Malloc(false);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(pool.Free(t), 0);
}

}  // namespace
}  // namespace plinth
