#include <gtest/gtest.h>

#include "support/CIUnknownImpl.h"

namespace {

class Tracked : public CIUnknownImpl {
 public:
  explicit Tracked(bool* deleted) : m_deleted(deleted) {}
  ~Tracked() override { *m_deleted = true; }

 private:
  bool* m_deleted;
};

TEST(CIUnknownImplTest, ReleaseAtOneDeletesAtTwoKeeps) {
  bool deleted = false;
  auto* object = new Tracked(&deleted);
  EXPECT_EQ(object->AddRef(), 2);
  EXPECT_EQ(object->Release(), 1);
  EXPECT_FALSE(deleted);
  EXPECT_EQ(object->Release(), 0);
  EXPECT_TRUE(deleted);
}

TEST(CIUnknownImplTest, QueryInterfaceAnswersOneAndWritesNothing) {
  bool deleted = false;
  auto* object = new Tracked(&deleted);
  void* out = reinterpret_cast<void*>(0x1234);
  GUID anyId{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(object->QueryInterface(anyId, &out), 1);
  EXPECT_EQ(out, reinterpret_cast<void*>(0x1234));
  object->Release();
}

}  // namespace
