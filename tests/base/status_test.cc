// Status and StatusOr behaviour, and the forwarding macros.
#include "lib/base/status.h"

#include <gtest/gtest.h>

#include <memory>

namespace qov {
namespace {

Status PassThrough(Status s) {
  QOV_RETURN_IF_ERROR(s);
  return OkStatus();
}

StatusOr<std::unique_ptr<int>> MakeValue(Status s) {
  if (!s.ok()) return s;
  return std::make_unique<int>(7);
}

Status UseValue(Status s, int* out) {
  QOV_ASSIGN_OR_RETURN(std::unique_ptr<int> v, MakeValue(s));
  *out = *v;
  return OkStatus();
}

TEST(StatusTest, CodesAndForwarding) {
  EXPECT_EQ(OkStatus().raw(), 0);
  EXPECT_EQ(FailedStatus().raw(), 1);
  EXPECT_EQ(NeedMoreBytesStatus().raw(), -1);
  for (Status s : {OkStatus(), FailedStatus(), NeedMoreBytesStatus()}) {
    EXPECT_EQ(PassThrough(s), s);
    int out = 0;
    EXPECT_EQ(UseValue(s, &out), s);
    EXPECT_EQ(out, s.ok() ? 7 : 0);
  }
}

TEST(StatusTest, FailedStatusOrHoldsNoValue) {
  // A failed StatusOr must not construct (or later destroy) a value.
  struct Counted {
    int* live;
    explicit Counted(int* l) : live(l) { ++*live; }
    Counted(Counted&& o) noexcept : live(o.live) { ++*live; }
    ~Counted() { --*live; }
  };
  int live = 0;
  {
    StatusOr<Counted> failed(FailedStatus());
    EXPECT_FALSE(failed.ok());
    EXPECT_EQ(live, 0);
    StatusOr<Counted> good{Counted(&live)};
    EXPECT_TRUE(good.ok());
    EXPECT_EQ(live, 1);
  }
  EXPECT_EQ(live, 0);
}

}  // namespace
}  // namespace qov
