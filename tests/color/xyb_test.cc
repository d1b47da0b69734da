// XYB-to-linear: the row kernel against its scalar reference on every
// compiled target (with guard zones), and the whole-image conversion.
#include "lib/color/xyb.h"

#include <hwy/highway.h>
#include <hwy/tests/hwy_gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "gtest/gtest.h"
#include "lib/base/memory.h"
#include "lib/bitstream/image_metadata.h"

namespace qov {
namespace {

constexpr float kGuard = -12345.0f;
constexpr size_t kGuardSamples = 32;

// The default XYB parameters for an intensity target of 255.
OpsinParams DefaultParams() {
  CodecMetadata m;
  m.m.xyb_encoded = true;
  OutputColorSetup s;
  EXPECT_TRUE(s.InitFromMetadata(m).ok());
  return s.GetOpsinParams();
}

OpsinParams IdentityParams() {
  OpsinParams p = {};
  for (int i = 0; i < 3; ++i) {
    for (int k = 0; k < 4; ++k) p.inverse_matrix[4 * (4 * i) + k] = 1.0f;
  }
  return p;
}

struct Rows {
  std::vector<float> in[3];
  std::vector<float> out[3];
};

// Typical XYB ranges: X small and signed, Y and B in [0, 0.9].
Rows MakeRows(size_t xsize, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> xdist(-0.04f, 0.04f);
  std::uniform_real_distribution<float> ydist(0.0f, 0.9f);
  Rows r;
  for (int c = 0; c < 3; ++c) {
    r.in[c].assign(xsize + kGuardSamples, kGuard);
    r.out[c].assign(xsize + kGuardSamples, kGuard);
    for (size_t i = 0; i < xsize; ++i) {
      r.in[c][i] = c == 0 ? xdist(rng) : ydist(rng);
    }
  }
  return r;
}

class OpsinToLinearRowTest : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(OpsinToLinearRowTest);

TEST_P(OpsinToLinearRowTest, MatchesScalar) {
  const size_t kWidths[] = {1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33, 509, 1024};
  const OpsinParams params = DefaultParams();
  for (size_t xsize : kWidths) {
    Rows ref = MakeRows(xsize, static_cast<uint32_t>(xsize));
    Rows got = MakeRows(xsize, static_cast<uint32_t>(xsize));
    OpsinToLinearRowScalar(ref.in[0].data(), ref.in[1].data(),
                           ref.in[2].data(), xsize, params, ref.out[0].data(),
                           ref.out[1].data(), ref.out[2].data());
    OpsinToLinearRow(got.in[0].data(), got.in[1].data(), got.in[2].data(),
                     xsize, params, got.out[0].data(), got.out[1].data(),
                     got.out[2].data());
    for (int c = 0; c < 3; ++c) {
      for (size_t i = 0; i < xsize + kGuardSamples; ++i) {
        if (i >= xsize) {
          ASSERT_EQ(got.out[c][i], kGuard)
              << "wrote past the row: width " << xsize << " channel " << c;
          continue;
        }
        // Fused multiply-add changes the last bits of the matrix terms,
        // which are an order of magnitude larger than the sum.
        const float tolerance = 1e-5f * std::max(1.0f, std::fabs(ref.out[c][i]));
        ASSERT_NEAR(got.out[c][i], ref.out[c][i], tolerance)
            << "width " << xsize << " channel " << c << " sample " << i;
      }
    }
  }
}

TEST(OpsinToLinearRowScalarTest, IdentityParameters) {
  struct Case {
    float x, y, b;
    float r, g, bl;
  };
  const Case kCases[] = {
      {0.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f},
      {0.5f, 0.5f, 0.0f, 1.0f, 0.0f, 0.0f},
      {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f},
      {-0.5f, 0.5f, 0.5f, 0.0f, 1.0f, 0.125f},
  };
  const OpsinParams p = IdentityParams();
  for (const Case& c : kCases) {
    float r, g, bl;
    OpsinToLinearRowScalar(&c.x, &c.y, &c.b, 1, p, &r, &g, &bl);
    EXPECT_EQ(r, c.r);
    EXPECT_EQ(g, c.g);
    EXPECT_EQ(bl, c.bl);
    OpsinToLinearRow(&c.x, &c.y, &c.b, 1, p, &r, &g, &bl);
    EXPECT_EQ(r, c.r);
    EXPECT_EQ(g, c.g);
    EXPECT_EQ(bl, c.bl);
  }
}

// Grey in XYB with the default parameters gives equal R, G and B: the
// biases and matrix fit together.
TEST(OpsinToLinearRowScalarTest, DefaultParametersKeepGreyNeutral) {
  const OpsinParams p = DefaultParams();
  for (float y : {0.1f, 0.4f, 0.8f}) {
    // X = 0 and B = Y is neutral in XYB.
    const float x = 0.0f;
    float r, g, bl;
    OpsinToLinearRowScalar(&x, &y, &y, 1, p, &r, &g, &bl);
    EXPECT_NEAR(r, g, 2e-3f * g) << y;
    EXPECT_NEAR(bl, g, 2e-3f * g) << y;
    EXPECT_GT(g, 0.0f);
  }
}

Image3F MakeImage(size_t xsize, size_t ysize) {
  StatusOr<Image3F> image = Image3F::Create(HeapMemoryManager(), xsize, ysize);
  EXPECT_TRUE(image.ok());
  Image3F result = std::move(image).value();
  std::mt19937 rng(99);
  std::uniform_real_distribution<float> dist(0.0f, 0.5f);
  for (size_t c = 0; c < 3; ++c) {
    for (size_t y = 0; y < ysize; ++y) {
      for (size_t x = 0; x < xsize; ++x) {
        result.PlaneRow(c, y)[x] = c == 0 ? dist(rng) * 0.1f : dist(rng);
      }
    }
  }
  return result;
}

TEST(OpsinToLinearImageTest, ConvertsTheRectangle) {
  const OpsinParams p = DefaultParams();
  const Image3F xyb = MakeImage(40, 20);
  const PixelRect rect{5, 3, 23, 11};
  StatusOr<Image3F> out = Image3F::Create(HeapMemoryManager(), rect.xsize, rect.ysize);
  ASSERT_TRUE(out.ok());
  ASSERT_TRUE(OpsinToLinearImage(xyb, rect, nullptr, &*out, p).ok());
  for (size_t y = 0; y < rect.ysize; ++y) {
    float want[3][23];
    OpsinToLinearRowScalar(xyb.PlaneRow(0, rect.y0 + y) + rect.x0,
                           xyb.PlaneRow(1, rect.y0 + y) + rect.x0,
                           xyb.PlaneRow(2, rect.y0 + y) + rect.x0, rect.xsize,
                           p, want[0], want[1], want[2]);
    for (size_t c = 0; c < 3; ++c) {
      for (size_t x = 0; x < rect.xsize; ++x) {
        ASSERT_NEAR(out->PlaneRow(c, y)[x], want[c][x],
                    1e-5f * std::max(1.0f, std::fabs(want[c][x])));
      }
    }
  }
}

// A runner that counts items and runs them on "thread" 0; optionally fails.
struct CountingRunner {
  int items = 0;
  bool fail = false;
  static int32_t Run(void* runner_opaque, void* loop_opaque, TaskInitFn init,
                     TaskItemFn item, uint32_t begin, uint32_t end) {
    CountingRunner* self = static_cast<CountingRunner*>(runner_opaque);
    if (init != nullptr && init(loop_opaque, 2) != 0) return -1;
    for (uint32_t i = begin; i < end; ++i) {
      item(loop_opaque, i, i % 2);
      ++self->items;
    }
    return self->fail ? -1 : 0;
  }
};

TEST(OpsinToLinearImageTest, RunsRowsOnThePool) {
  const Image3F xyb = MakeImage(16, 9);
  StatusOr<Image3F> out = Image3F::Create(HeapMemoryManager(), 16, 9);
  ASSERT_TRUE(out.ok());
  CountingRunner runner;
  TaskPool pool{&CountingRunner::Run, &runner};
  ASSERT_TRUE(
      OpsinToLinearImage(xyb, {0, 0, 16, 9}, &pool, &*out, DefaultParams()).ok());
  EXPECT_EQ(runner.items, 9);
  runner.fail = true;
  EXPECT_TRUE(
      OpsinToLinearImage(xyb, {0, 0, 16, 9}, &pool, &*out, DefaultParams())
          .failed());
}

TEST(OpsinToLinearImageTest, RejectsMismatchBeforeWriting) {
  const Image3F xyb = MakeImage(10, 10);
  struct Case {
    const char* name;
    PixelRect rect;
    size_t out_x, out_y;
  };
  const Case kCases[] = {
      {"one column more", {0, 0, 8, 8}, 9, 8},
      {"one row less", {0, 0, 8, 8}, 8, 7},
      {"rectangle past the right edge", {3, 0, 8, 8}, 8, 8},
      {"rectangle past the bottom", {0, 3, 8, 8}, 8, 8},
      {"rectangle origin beyond the image", {11, 0, 0, 1}, 0, 1},
  };
  for (const Case& c : kCases) {
    StatusOr<Image3F> out = Image3F::Create(HeapMemoryManager(), c.out_x, c.out_y);
    ASSERT_TRUE(out.ok());
    for (size_t y = 0; y < c.out_y && c.out_x > 0; ++y) {
      out->PlaneRow(0, y)[0] = kGuard;
    }
    EXPECT_TRUE(
        OpsinToLinearImage(xyb, c.rect, nullptr, &*out, DefaultParams()).failed())
        << c.name;
    if (c.out_x > 0 && c.out_y > 0) {
      EXPECT_EQ(out->PlaneRow(0, 0)[0], kGuard) << c.name;
    }
  }
}

TEST(OpsinToLinearImageTest, EmptyRectangles) {
  const Image3F xyb = MakeImage(10, 10);
  Image3F empty_width;  // 0 x 0
  StatusOr<Image3F> zero_width = Image3F::Create(HeapMemoryManager(), 0, 4);
  ASSERT_TRUE(zero_width.ok());
  EXPECT_TRUE(OpsinToLinearImage(xyb, {2, 2, 0, 4}, nullptr, &*zero_width,
                                 DefaultParams())
                  .ok());
  CountingRunner runner;
  TaskPool pool{&CountingRunner::Run, &runner};
  EXPECT_TRUE(
      OpsinToLinearImage(xyb, {0, 0, 0, 0}, &pool, &empty_width, DefaultParams())
          .ok());
  EXPECT_EQ(runner.items, 0);
}

}  // namespace
}  // namespace qov
