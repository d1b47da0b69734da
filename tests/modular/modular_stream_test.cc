// Modular sub-streams written with the project's bit writer and entropy
// coder decode to the samples they were made from, through every channel
// path; each fast path gives what the forced general walk gives; malformed
// and truncated streams fail cleanly.
#include "lib/modular/modular_stream.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>

#include "lib/base/memory.h"
#include "lib/encode/bit_writer.h"
#include "tests/modular/modular_stream_writer_helpers.h"
#include "tests/modular/modular_test_helpers.h"

namespace qov {
namespace {

using modular_test::CodeOptions;
using modular_test::Flatten;
using modular_test::Leaf;
using modular_test::RandomChannels;
using modular_test::Split;
using modular_test::StreamSpec;
using modular_test::TestChannel;
using modular_test::Tree;

std::vector<test::ChannelShape> ShapesOf(const std::vector<TestChannel>& c) {
  std::vector<test::ChannelShape> shapes;
  for (const TestChannel& t : c) {
    shapes.push_back({t.width, t.height, t.hshift, t.vshift});
  }
  return shapes;
}

std::vector<TestChannel> ChannelsOf(const ModularImage& image) {
  std::vector<TestChannel> out;
  for (size_t k = 0; k < image.channels.size(); ++k) {
    const ModularChannel& c = image.channels[k];
    TestChannel t;
    t.width = static_cast<uint32_t>(c.width);
    t.height = static_cast<uint32_t>(c.height);
    t.hshift = c.hshift;
    t.vshift = c.vshift;
    t.samples = test::Samples(image, k);
    out.push_back(std::move(t));
  }
  return out;
}

struct Decoded {
  Status status = OkStatus();
  std::vector<TestChannel> channels;
  std::vector<ChannelPath> paths;
  uint64_t position = 0;
};

struct DecodeArgs {
  bool force_tree_path = false;
  bool allow_truncated = false;
  bool undo = true;
  uint64_t channel_size_limit = 0xFFFFFF;
  uint64_t stream_id = 0;
  const MaTree* tree = nullptr;
  const EntropyCodeSet* codes = nullptr;
  const std::vector<uint8_t>* context_map = nullptr;
};

Decoded Decode(const std::vector<uint8_t>& bytes,
               const std::vector<test::ChannelShape>& shapes,
               const DecodeArgs& args = {}, size_t meta = 0) {
  ModularImage image = test::MakeImage(shapes, meta);
  // Samples the decoder must overwrite.
  for (size_t k = 0; k < image.channels.size(); ++k) {
    test::FillRandom(image, k, 99, 1000, 2000);
  }
  ModularSettings settings;
  settings.force_tree_path = args.force_tree_path;
  settings.channel_size_limit = args.channel_size_limit;
  Decoded out;
  settings.paths_taken = &out.paths;
  BitReader reader(Span(bytes.data(), bytes.size()));
  out.status = DecodeModularStream(reader, image, nullptr, args.stream_id,
                                   settings, args.undo, args.tree, args.codes,
                                   args.context_map, args.allow_truncated);
  out.position = reader.Position();
  out.channels = ChannelsOf(image);
  return out;
}

std::string PathNames(const std::vector<ChannelPath>& paths) {
  std::string s;
  for (ChannelPath p : paths) s += std::to_string(static_cast<int>(p)) + " ";
  return s;
}

void ExpectSameSamples(const std::vector<TestChannel>& got,
                       const std::vector<TestChannel>& want,
                       const std::string& name) {
  ASSERT_EQ(got.size(), want.size()) << name;
  for (size_t k = 0; k < got.size(); ++k) {
    EXPECT_EQ(got[k].width, want[k].width) << name << " channel " << k;
    EXPECT_EQ(got[k].height, want[k].height) << name << " channel " << k;
    EXPECT_TRUE(got[k].samples == want[k].samples) << name << " channel " << k;
  }
}

std::vector<uint8_t> Write(const StreamSpec& spec,
                           std::vector<TestChannel>& coded) {
  BitWriter writer(HeapMemoryManager());
  EXPECT_TRUE(modular_test::WriteModularStream(spec, coded, &writer).ok());
  return modular_test::WrittenBytes(writer);
}

// Decodes with the fast paths and with the forced general walk: both must
// succeed with the expected samples, read the same bits and (when given)
// take the expected fast path for at least one channel.
void ExpectRoundTrip(const StreamSpec& spec, std::vector<TestChannel> coded,
                     const std::string& name,
                     ChannelPath expected_path = ChannelPath::kNone) {
  const std::vector<TestChannel> original = coded;
  const std::vector<uint8_t> bytes = Write(spec, coded);
  std::vector<test::ChannelShape> shapes = ShapesOf(original);
  const uint64_t id = static_cast<uint64_t>(spec.stream_id);
  const Decoded fast = Decode(bytes, shapes, {.stream_id = id});
  const Decoded general =
      Decode(bytes, shapes, {.force_tree_path = true, .stream_id = id});
  ASSERT_TRUE(fast.status.ok()) << name;
  ASSERT_TRUE(general.status.ok()) << name;
  ExpectSameSamples(fast.channels, coded, name + " (fast)");
  ExpectSameSamples(general.channels, coded, name + " (general)");
  EXPECT_EQ(fast.position, general.position) << name;
  if (expected_path != ChannelPath::kNone) {
    EXPECT_NE(std::find(fast.paths.begin(), fast.paths.end(), expected_path),
              fast.paths.end())
        << name << " took " << PathNames(fast.paths);
  }
  for (ChannelPath p : general.paths) {
    EXPECT_TRUE(p == ChannelPath::kTree || p == ChannelPath::kWeightedTree)
        << name;
  }
}

TEST(ModularStreamTest, EveryPredictorRoundTrips) {
  for (bool prefix : {false, true}) {
    for (int32_t predictor = 0; predictor < 14; ++predictor) {
      StreamSpec spec;
      spec.tree = Flatten(Leaf(predictor));
      spec.data_code.prefix_codes = prefix;
      auto channels = RandomChannels(
          {{13, 7}, {1, 1}, {1, 9}, {9, 1}, {3, 4}, {10, 3}}, predictor, -300,
          300);
      // Extremes: predictions and sums beyond 32 bits.
      for (int32_t& v : channels[5].samples) {
        v = (v & 1) ? INT32_MAX - (v & 7) : INT32_MIN + (v & 7);
      }
      ExpectRoundTrip(spec, channels,
                      "predictor " + std::to_string(predictor) +
                          (prefix ? " prefix" : " ans"));
    }
  }
}

TEST(ModularStreamTest, TreesOverAllPropertiesRoundTrip) {
  const Tree tree = Split(
      2, 3,
      Split(9, 0, Split(15, 2, Leaf(6), Leaf(13, 2)),
            Split(17, 10, Leaf(5), Split(19, -4, Leaf(4), Leaf(11)))),
      Split(0, 1,
            Split(8, 0, Split(12, -1, Leaf(7), Leaf(3)),
                  Split(14, 2, Leaf(10), Leaf(12))),
            Split(4, 50, Split(1, 5, Leaf(1), Leaf(2)),
                  Split(13, 0, Leaf(8), Split(11, 3, Leaf(9), Leaf(0))))));
  for (bool lz77 : {false, true}) {
    StreamSpec spec;
    spec.tree = Flatten(tree);
    spec.stream_id = 7;
    spec.header.wp_header.all_default = false;
    spec.header.wp_header.sub3_nn_n_scale = 3;
    spec.header.wp_header.sub3_nw_w_scale = 2;
    spec.header.wp_header.sub_weight[1] = 4;
    spec.data_code.lz77_mode = lz77 ? 2 : 0;
    auto channels = RandomChannels(
        {{23, 11}, {23, 11}, {23, 11}, {8, 5}, {23, 11}}, 5, -60, 60);
    ExpectRoundTrip(spec, channels, lz77 ? "tree lz77" : "tree",
                    ChannelPath::kWeightedTree);
  }
}

// Trees that test the stream number (specialised once per stream) or also
// the channel index (once per channel).
TEST(ModularStreamTest, StaticSplitsPerStreamAndChannel) {
  const Tree trees[] = {
      Split(1, 4, Split(9, 0, Leaf(5), Leaf(1)), Split(2, 1, Leaf(2), Leaf(13))),
      Split(1, 4, Split(0, 1, Leaf(5), Leaf(1)), Split(0, 0, Leaf(2), Leaf(6))),
  };
  for (const Tree& tree : trees) {
    for (int32_t stream : {3, 9}) {
      StreamSpec spec;
      spec.tree = Flatten(tree);
      spec.stream_id = stream;
      ExpectRoundTrip(spec,
                      RandomChannels({{9, 5}, {9, 5}, {4, 4}, {9, 5}}, 8, -20, 20),
                      "static splits, stream " + std::to_string(stream));
    }
  }
}

// The walk computes properties 3 to 8, 13 and 14 only for trees that test
// one of them, wherever in the tree that test sits; channels wide and tall
// enough for the interior neighbourhood, also with reference properties.
TEST(ModularStreamTest, PropertiesTestedAnywhereInTheTree) {
  const struct {
    const char* name;
    Tree tree;
  } cases[] = {
      {"none of them", Split(15, 0, Split(9, 3, Leaf(6), Leaf(5)),
                             Split(12, -1, Leaf(5), Leaf(6)))},
      {"second level", Split(15, 0, Split(3, 4, Leaf(6), Leaf(5)),
                             Split(13, 0, Leaf(5), Leaf(6)))},
      {"deep", Split(9, 0, Split(10, 0, Split(8, 1, Leaf(6), Leaf(5)), Leaf(5)),
                     Split(11, 2, Leaf(6),
                           Split(12, 0, Leaf(5), Split(14, -2, Leaf(6), Leaf(5)))))},
      {"first test", Split(7, 10, Split(4, 20, Leaf(6), Leaf(1)),
                           Split(5, 3, Leaf(2), Split(6, 0, Leaf(6), Leaf(5))))},
      {"reference properties", Split(17, 0, Split(3, 12, Leaf(6), Leaf(5)),
                                     Split(19, -3, Leaf(5), Leaf(6)))},
  };
  for (const auto& c : cases) {
    StreamSpec spec;
    spec.tree = Flatten(c.tree);
    auto channels =
        RandomChannels({{21, 9}, {21, 9}, {21, 9}, {9, 3}, {2, 5}}, 12, -90, 90);
    ExpectRoundTrip(spec, channels, c.name);
  }
}

TEST(ModularStreamTest, OffsetsAndMultipliers) {
  StreamSpec spec;
  spec.tree = Flatten(Split(3, 4, Leaf(1, -5, 3), Split(2, 1, Leaf(6, 7, 1u << 20),
                                                           Leaf(0, 100, 0x7FFFFFFF))));
  spec.samples_are_residuals = true;
  ExpectRoundTrip(spec, RandomChannels({{11, 6}, {2, 9}}, 3, -9, 9),
                  "multipliers");
  spec.tree = Flatten(Leaf(5, 3, 2));
  ExpectRoundTrip(spec, RandomChannels({{11, 6}}, 4, -9, 9),
                  "single leaf with multiplier");
  // The weighted walk picks between gradient and weighted leaves without a
  // branch; each leaf keeps its own offset, multiplier and cluster.
  spec.tree = Flatten(Split(15, 0, Split(9, 3, Leaf(5, -2, 3), Leaf(6, 4, 1)),
                            Split(10, -1, Leaf(6, 0, 5), Leaf(5, 1, 1))));
  ExpectRoundTrip(spec, RandomChannels({{19, 13}, {19, 13}}, 6, -40, 40),
                  "weighted tree, gradient and weighted leaves",
                  ChannelPath::kWeightedTree);
}

struct PathCase {
  const char* name;
  Tree tree;
  CodeOptions code;
  int32_t lo, hi;
  ChannelPath path;
  bool residuals = false;
};

TEST(ModularStreamTest, FastPathsMatchTheGeneralWalk) {
  CodeOptions ans, prefix, ans_lz77;
  prefix.prefix_codes = true;
  ans_lz77.lz77_mode = 2;
  const Tree gradient_tree =
      Split(9, 0, Split(9, 40, Leaf(5), Leaf(5)),
            Split(9, -8192, Split(9, -30, Leaf(5), Leaf(5)), Leaf(5)));
  const Tree weighted_tree =
      Split(15, 0, Split(15, 8190, Leaf(6), Leaf(6)), Leaf(6));
  const PathCase cases[] = {
      {"gradient single", Leaf(5), ans, -50, 50, ChannelPath::kGradientSingle},
      {"gradient single lz77", Leaf(5), ans_lz77, 0, 2,
       ChannelPath::kGradientSingle},
      {"plain single", Leaf(0), prefix, -50, 50, ChannelPath::kPlainSingle},
      {"plain single offset", Leaf(0, 9, 4), ans, -50, 50,
       ChannelPath::kPlainSingle, true},
      {"constant", Leaf(0, 5, 2), ans, -2, -2, ChannelPath::kConstant, true},
      {"constant lz77", Leaf(0), ans_lz77, 0, 0, ChannelPath::kConstant},
      {"gradient table", gradient_tree, ans, -9000, 9000,
       ChannelPath::kGradientTable},
      {"gradient table lz77", gradient_tree, ans_lz77, -3, 3,
       ChannelPath::kGradientTable},
      {"gradient table extremes", gradient_tree, prefix, INT32_MIN, INT32_MAX,
       ChannelPath::kGradientTable},
      {"weighted table", weighted_tree, ans, -500, 500,
       ChannelPath::kWeightedTable},
      {"weighted tree lz77", weighted_tree, ans_lz77, -2, 2,
       ChannelPath::kWeightedTree},
      {"weighted extremes", weighted_tree, ans, INT32_MIN, INT32_MAX,
       ChannelPath::kWeightedTable},
  };
  for (const PathCase& c : cases) {
    StreamSpec spec;
    spec.tree = Flatten(c.tree);
    spec.data_code = c.code;
    spec.samples_are_residuals = c.residuals;
    auto channels = RandomChannels({{37, 9}, {5, 3}, {37, 9}, {1, 1}}, 11,
                                   c.lo, c.hi);
    ExpectRoundTrip(spec, channels, c.name, c.path);
  }
}

TEST(ModularStreamTest, RunLengthStreamsWithRunsAcrossChannels) {
  // Runs of equal residuals whose literals never look like the distance
  // symbol, so that the encoder keeps the distance code apart: the run
  // path; channels of odd sizes make runs cross channel boundaries.
  for (const Tree& tree : {Leaf(5), Split(1, 3, Leaf(5), Split(0, 0, Leaf(5), Leaf(5)))}) {
    StreamSpec spec;
    spec.tree = Flatten(tree);
    spec.data_code.prefix_codes = true;
    spec.data_code.lz77_mode = 1;
    spec.data_code.split_config_mode = 1;
    spec.samples_are_residuals = true;
    std::vector<TestChannel> channels =
        RandomChannels({{37, 20}, {7, 3}, {1, 1}, {37, 20}}, 1, 0, 0);
    size_t i = 0;
    for (TestChannel& c : channels) {
      for (int32_t& v : c.samples) v = 4 + static_cast<int32_t>(((i++ / 7) * 7919) % 13);
    }
    ExpectRoundTrip(spec, channels, "runs", ChannelPath::kRunLength);
  }
}

TEST(ModularStreamTest, LzAndCodeKindsRoundTrip) {
  for (uint32_t mode : {1u, 2u, 3u}) {
    for (bool prefix : {false, true}) {
      StreamSpec spec;
      spec.tree = Flatten(Split(2, 2, Leaf(1), Split(6, 3, Leaf(2), Leaf(13))));
      spec.data_code.lz77_mode = mode;
      spec.data_code.prefix_codes = prefix;
      spec.tree_code.lz77_mode = mode;
      auto channels = RandomChannels({{40, 12}, {40, 12}, {17, 3}}, mode, 0, 3);
      // Repeats a row shape so that copies over the row width pay.
      for (TestChannel& c : channels) {
        for (size_t y = 1; y < c.height; ++y) {
          for (size_t x = 0; x < c.width; ++x) {
            if ((x + y) % 3 != 0) c.at(x, y) = c.at(x, y - 1);
          }
        }
      }
      ExpectRoundTrip(spec, channels,
                      "lz77 mode " + std::to_string(mode) +
                          (prefix ? " prefix" : " ans"));
    }
  }
}

}  // namespace
}  // namespace qov
