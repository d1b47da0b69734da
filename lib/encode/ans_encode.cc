// ANS normalisation search, distribution storage, and the per-cluster code
// build (ANS tables or prefix codes) of an EntropyEncodingData.
#include "lib/encode/ans_encode.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "lib/encode/ans_tables.h"
#include "lib/encode/bit_writer.h"
#include "lib/encode/prefix_code_builder.h"

namespace qov {

namespace {

constexpr uint8_t kLogCountBits[14] = {5, 4, 4, 4, 4, 4, 3, 3, 3, 3, 3, 6, 7, 7};
constexpr uint8_t kLogCountCode[14] = {17, 11, 15, 3, 9, 7, 4,
                                       2,  5,  6,  0, 33, 1, 65};
constexpr uint32_t kRunEscape = 13;

uint32_t FloorLog2(uint32_t n) { return 31 - __builtin_clz(n); }

// The small-count code V(v) that ReadVarUint8 reads.
template <class Sink>
void PutVarUint8(Sink& sink, uint32_t v) {
  if (v == 0) {
    sink(1, 0);
    return;
  }
  const uint32_t log = FloorLog2(v);
  sink(1, 1);
  sink(3, log);
  sink(log, v - (1u << log));
}

uint32_t LogCount(int32_t count) {
  return count <= 0 ? 0 : FloorLog2(static_cast<uint32_t>(count)) + 1;
}

// Emits the storage format of `record` through sink(bit_count, value); the
// estimate and the writer share it so that they cannot disagree.
template <class Sink>
Status VisitAnsHistogram(const AnsNormalizedHistogram& record, Sink& sink) {
  const uint64_t size = record.alphabet_size;
  QOV_ENSURE(size <= 256);
  const std::vector<int32_t>& counts = record.normalized_counts;
  if (record.method == 0) {
    sink(1, 0);
    sink(1, 1);
    QOV_ENSURE(size != 0);
    PutVarUint8(sink, static_cast<uint32_t>(size - 1));
    return OkStatus();
  }
  if (record.num_symbols <= 2) {
    sink(1, 1);
    if (record.num_symbols == 0) {
      sink(1, 0);
      PutVarUint8(sink, 0);
      return OkStatus();
    }
    sink(1, record.num_symbols - 1);
    for (uint64_t i = 0; i < record.num_symbols; ++i) {
      PutVarUint8(sink, static_cast<uint32_t>(record.symbols[i]));
    }
    if (record.num_symbols == 2) {
      sink(12, static_cast<uint32_t>(counts[record.symbols[0]]));
    }
    return OkStatus();
  }
  QOV_ENSURE(size >= 3 && counts.size() >= size);
  sink(1, 0);
  sink(1, 0);
  const uint32_t log = FloorLog2(record.method);
  sink(log, (1u << log) - 1);
  if (log != 3) sink(1, 0);
  sink(log, record.method - (1u << log));
  PutVarUint8(sink, static_cast<uint32_t>(size - 3));

  const uint64_t omitted = record.omitted_symbol;
  uint32_t omitted_log = 10;
  for (uint64_t i = 0; i < size; ++i) {
    if (i == omitted || counts[i] <= 0) continue;
    const uint32_t g = LogCount(counts[i]) + (i < omitted ? 1 : 0);
    if (g > omitted_log) omitted_log = g;
  }
  // Length of the run of equal counts starting at i, cut before the
  // omitted symbol and before the symbol after it.
  auto run_length = [&](uint64_t i) {
    uint64_t r = 1;
    if (i == omitted) return r;
    while (i + r < size && counts[i + r] == counts[i] &&
           i + r != omitted && i + r != omitted + 1) {
      ++r;
    }
    return r;
  };
  for (uint64_t i = 0; i < size;) {
    const uint32_t g = i == omitted ? omitted_log : LogCount(counts[i]);
    sink(kLogCountBits[g], kLogCountCode[g]);
    const uint64_t r = run_length(i);
    if (r >= 5) {
      sink(kLogCountBits[kRunEscape], kLogCountCode[kRunEscape]);
      PutVarUint8(sink, static_cast<uint32_t>(r - 5));
      i += r;
    } else {
      ++i;
    }
  }
  const int32_t shift = static_cast<int32_t>(record.method) - 1;
  if (shift != 0) {
    for (uint64_t i = 0; i < size;) {
      const uint64_t r = run_length(i);
      const int32_t g = static_cast<int32_t>(LogCount(counts[i]));
      if (i != omitted && g > 1) {
        int32_t b = std::min(shift - ((13 - g) >> 1), g - 1);
        if (b < 0) b = 0;
        const uint32_t c = static_cast<uint32_t>(counts[i]);
        sink(static_cast<size_t>(b), (c >> (g - 1 - b)) - (1u << b));
      }
      i += r >= 5 ? r : 1;
    }
  }
  return OkStatus();
}

// Copies the first two positive symbols and their number into `record`.
void CountSymbols(const Histogram& histogram, AnsNormalizedHistogram* record) {
  record->num_symbols = 0;
  for (uint64_t i = 0; i < record->alphabet_size; ++i) {
    if (histogram.counts[i] <= 0) continue;
    if (record->num_symbols < 2) record->symbols[record->num_symbols] = i;
    ++record->num_symbols;
  }
}

}  // namespace

Status EstimateAnsHistogramBits(const AnsNormalizedHistogram& record,
                                uint64_t* bits) {
  uint64_t total = 0;
  auto counter = [&total](size_t n, uint64_t) { total += n; };
  const Status status = VisitAnsHistogram(record, counter);
  *bits += total;
  return status;
}

Status WriteAnsHistogram(const AnsNormalizedHistogram& record,
                         BitWriter* writer) {
  auto put = [writer](size_t n, uint64_t v) { writer->PutBits(n, v); };
  return VisitAnsHistogram(record, put);
}

Status RescaleCountsForAns(AnsNormalizedHistogram* candidate,
                           const Histogram& histogram,
                           AnsNormalizedHistogram* best, uint32_t shift) {
  const uint32_t s = shift > 11 ? 11 : shift;
  candidate->method = s + 1;
  const double scale = 4096.0 / static_cast<double>(histogram.total);
  int64_t remaining = 4096;
  int64_t largest = 0;
  size_t largest_symbol = 0;
  struct Adjustable {
    int64_t count;
    size_t position;
    size_t symbol;
  };
  std::vector<Adjustable> adjustable;
  adjustable.reserve(256);
  std::vector<int32_t>& norm = candidate->normalized_counts;
  for (size_t i = 0; i < candidate->alphabet_size; ++i) {
    const int64_t c = histogram.counts[i];
    if (c > largest) {
      largest = c;
      largest_symbol = i;
    }
    const double x = static_cast<double>(c) * scale;
    int64_t v = static_cast<int64_t>(std::round(x));
    if (c > 0 && v < 1) v = 1;
    if (v > 4095) v = 4095;
    if (v < 0) v = 0;
    const uint32_t n = AllowedAnsCount(static_cast<uint32_t>(v), s);
    norm[i] = static_cast<int32_t>(n);
    remaining -= n;
    if (x > 1.0) adjustable.push_back({c, AnsAllowedCountIndex[s][n], i});
  }
  for (size_t k = 0; k < adjustable.size(); ++k) {
    if (adjustable[k].symbol == largest_symbol) {
      adjustable.erase(adjustable.begin() + static_cast<ptrdiff_t>(k));
      break;
    }
  }
  remaining += norm[largest_symbol];
  size_t omitted = largest_symbol;
  if (!adjustable.empty()) {
    const AllowedCountEntry* list = AnsAllowedCounts[s];
    const size_t steps = static_cast<size_t>(list[1].step_log2) + 1;
    int64_t raise_cost[16];
    int64_t lower_gain[16];
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    auto diff = [](int64_t a, int64_t b) {
      return static_cast<int64_t>(
          static_cast<uint32_t>(AnsLog2Table[a] - AnsLog2Table[b]));
    };
    while (true) {
      for (size_t k = 0; k < steps; ++k) {
        const int64_t step = int64_t{1} << k;
        if (remaining >= 4096) {
          raise_cost[k] = lower_gain[k] = 0;
        } else if (remaining < 2) {
          raise_cost[k] = lower_gain[k] = kMax;
        } else {
          raise_cost[k] = remaining - step > 0
                              ? diff(remaining, remaining - step) * largest
                              : kMax;
          lower_gain[k] = remaining + step <= 4095
                              ? diff(remaining + step, remaining) * largest
                              : 0;
        }
      }
      // Raising the most profitable symbol by one step.
      size_t pick = 0;
      int64_t pick_value = 0;
      for (size_t r = 0; r < adjustable.size(); ++r) {
        const AllowedCountEntry& e = list[adjustable[r].position];
        const int64_t value =
            (int64_t{e.step_cost} * adjustable[r].count -
             raise_cost[e.step_log2]) >> e.step_log2;
        if (r == 0 || value > pick_value) {
          pick = r;
          pick_value = value;
        }
      }
      {
        Adjustable& a = adjustable[pick];
        const AllowedCountEntry& e = list[a.position];
        if (int64_t{e.step_cost} * a.count > raise_cost[e.step_log2]) {
          --a.position;
          remaining -= int64_t{1} << e.step_log2;
          continue;
        }
      }
      // Otherwise lowering the cheapest one, or stop.
      for (size_t r = 0; r < adjustable.size(); ++r) {
        const AllowedCountEntry& e = list[adjustable[r].position + 1];
        const int64_t value =
            (int64_t{e.step_cost} * adjustable[r].count -
             lower_gain[e.step_log2]) >> e.step_log2;
        if (r == 0 || value < pick_value) {
          pick = r;
          pick_value = value;
        }
      }
      Adjustable& a = adjustable[pick];
      const AllowedCountEntry& e = list[a.position + 1];
      if (int64_t{e.step_cost} * a.count >= lower_gain[e.step_log2]) break;
      ++a.position;
      remaining += int64_t{1} << e.step_log2;
    }
    for (const Adjustable& a : adjustable) {
      norm[a.symbol] = list[a.position].count;
    }
    for (size_t k = 0; k < largest_symbol; ++k) {
      if (norm[k] >= 2048) {
        norm[largest_symbol] = norm[k];
        omitted = k;
        break;
      }
    }
  }
  norm[omitted] = static_cast<int32_t>(remaining);
  candidate->omitted_symbol = omitted;
  QOV_ENSURE(remaining >= 1);

  uint64_t header = 0;
  QOV_RETURN_IF_ERROR(EstimateAnsHistogramBits(*candidate, &header));
  int64_t sum = 0;
  for (size_t i = 0; i < candidate->alphabet_size; ++i) {
    sum += int64_t{AnsLog2Table[norm[i]]} * histogram.counts[i];
  }
  const float scaled =
      static_cast<float>(static_cast<double>(static_cast<float>(sum)) *
                         (1.0 / 2147483648.0));
  candidate->cost =
      (static_cast<float>(histogram.total) - scaled) * 12.0f +
      static_cast<float>(header);
  if (best->cost > candidate->cost) *best = *candidate;
  return OkStatus();
}

StatusOr<AnsNormalizedHistogram> ChooseAnsNormalization(
    const Histogram& histogram, HistogramParams::ANSHistogramStrategy strategy) {
  AnsNormalizedHistogram flat;
  for (size_t i = histogram.counts.size(); i > 0; --i) {
    if (histogram.counts[i - 1] > 0) {
      flat.alphabet_size = i;
      break;
    }
  }
  QOV_ENSURE(flat.alphabet_size <= 256);
  if (flat.alphabet_size == 0) {
    AnsNormalizedHistogram empty;
    empty.cost = 3.0f;
    empty.method = 1;
    return empty;
  }
  const uint32_t a = static_cast<uint32_t>(flat.alphabet_size);
  flat.method = 0;
  flat.omitted_symbol = 0;
  flat.normalized_counts.assign(histogram.counts.size(), 0);
  if (flat.normalized_counts.size() < a) flat.normalized_counts.resize(a, 0);
  for (uint32_t i = 0; i < a; ++i) {
    flat.normalized_counts[i] =
        static_cast<int32_t>(4096 / a + (i < 4096 % a ? 1 : 0));
  }
  flat.normalized_counts.resize(histogram.counts.size());
  uint64_t header = 0;
  QOV_RETURN_IF_ERROR(EstimateAnsHistogramBits(flat, &header));
  const uint64_t product = uint64_t{AnsLog2Table[a]} * histogram.total * 12;
  const float data_bits = static_cast<float>(product) * (1.0f / 2147483648.0f);
  flat.cost = static_cast<float>(header) + data_bits;

  CountSymbols(histogram, &flat);
  if (flat.num_symbols == 1) {
    AnsNormalizedHistogram single = flat;
    single.method = 1;
    single.normalized_counts = histogram.counts;
    single.normalized_counts[single.symbols[0]] = 4096;
    single.omitted_symbol = 0;
    uint64_t bits = 0;
    QOV_RETURN_IF_ERROR(EstimateAnsHistogramBits(single, &bits));
    single.cost = static_cast<float>(bits);
    return single;
  }
  static constexpr uint32_t kThree[] = {0, 6, 11};
  static constexpr uint32_t kEven[] = {0, 2, 4, 6, 8, 10, 11};
  static constexpr uint32_t kAll[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  const uint32_t* shifts = nullptr;
  size_t num_shifts = 0;
  switch (strategy) {
    case HistogramParams::kThreeShifts: shifts = kThree; num_shifts = 3; break;
    case HistogramParams::kEvenShifts: shifts = kEven; num_shifts = 7; break;
    case HistogramParams::kAllShifts: shifts = kAll; num_shifts = 12; break;
    default: break;
  }
  AnsNormalizedHistogram best = flat;
  AnsNormalizedHistogram candidate = flat;
  for (size_t k = 0; k < num_shifts; ++k) {
    QOV_RETURN_IF_ERROR(
        RescaleCountsForAns(&candidate, histogram, &best, shifts[k]));
  }
  return best;
}

StatusOr<float> AnsHistogramCost(const Histogram& histogram) {
  if (histogram.counts.size() > 256) return FLT_MAX;
  QOV_ASSIGN_OR_RETURN(AnsNormalizedHistogram record,
                       ChooseAnsNormalization(histogram,
                                              HistogramParams::kThreeShifts));
  return record.cost;
}

}  // namespace qov

namespace qov {

namespace {

// Writes the prefix code of `counts` on a scratch writer to learn its size.
class AnsHistogramWriteTask {
 public:
  AnsHistogramWriteTask(const std::vector<uint32_t>& counts, size_t size,
                        std::vector<uint8_t>& depths,
                        std::vector<uint16_t>& codes, BitWriter& writer)
      : counts_(counts), size_(size), depths_(depths), codes_(codes),
        writer_(writer) {}
  Status operator()() const {
    return WritePrefixCodeForHistogram(counts_.data(), size_, depths_.data(),
                                       codes_.data(), &writer_);
  }

 private:
  const std::vector<uint32_t>& counts_;
  size_t size_;
  std::vector<uint8_t>& depths_;
  std::vector<uint16_t>& codes_;
  BitWriter& writer_;
};

}  // namespace

StatusOr<size_t> EntropyEncodingData::BuildAndStoreANSEncodingData(
    const QovMemoryManagerStruct* memory_manager,
    HistogramParams::ANSHistogramStrategy strategy, const Histogram& histogram,
    BitWriter* writer) {
  QOV_ENSURE(!symbol_tables.empty());
  std::vector<SymbolEncodingInfo>& table = symbol_tables.back();
  if (use_prefix_codes) {
    size_t size = 0;
    for (size_t i = histogram.counts.size(); i > 0; --i) {
      if (histogram.counts[i - 1] > 0) {
        size = i;
        break;
      }
    }
    if (size < 2) return size_t{0};
    QOV_ENSURE(table.size() >= size);
    std::vector<uint32_t> counts(size);
    for (size_t i = 0; i < size; ++i) {
      QOV_ENSURE(histogram.counts[i] >= 0);
      counts[i] = static_cast<uint32_t>(histogram.counts[i]);
    }
    std::vector<uint8_t> depths(size, 0);
    std::vector<uint16_t> codes(size, 0);
    uint64_t header = 0;
    if (writer != nullptr) {
      const uint64_t before = writer->BitsWritten();
      QOV_RETURN_IF_ERROR(WritePrefixCodeForHistogram(
          counts.data(), size, depths.data(), codes.data(), writer));
      header = writer->BitsWritten() - before;
    } else {
      BitWriter scratch(memory_manager);
      const AnsHistogramWriteTask task(counts, size, depths, codes, scratch);
      QOV_RETURN_IF_ERROR(scratch.WithBitBudget(
          size * 8 + 8, LayerType::kHeader, nullptr, task, false));
      header = scratch.BitsWritten();
    }
    uint64_t cost = header;
    for (size_t i = 0; i < size; ++i) {
      table[i].depth = depths[i];
      table[i].code = depths[i] != 0 ? codes[i] : 0;
      cost += uint64_t{depths[i]} * counts[i];
    }
    return static_cast<size_t>(cost);
  }

  QOV_ASSIGN_OR_RETURN(AnsNormalizedHistogram record,
                       ChooseAnsNormalization(histogram, strategy));
  std::vector<AliasEntry> alias(size_t{1} << log_alphabet_size);
  QOV_ENSURE(log_alphabet_size <= 8);
  QOV_RETURN_IF_ERROR(BuildAliasLookup(record.normalized_counts,
                                       kAnsLogRange,
                                       static_cast<uint32_t>(log_alphabet_size),
                                       alias.data()));
  const size_t symbols =
      std::max<size_t>(static_cast<size_t>(record.alphabet_size), 1);
  QOV_ENSURE(table.size() >= symbols);
  for (size_t i = 0; i < symbols; ++i) {
    SymbolEncodingInfo& info = table[i];
    const uint32_t frequency =
        record.alphabet_size == 0
            ? (i == 0 ? kAnsRange : 0)
            : static_cast<uint32_t>(record.normalized_counts[i]);
    info.frequency = static_cast<uint16_t>(frequency);
    info.reciprocal =
        frequency == 0
            ? 1
            : ((uint64_t{1} << 44) + frequency - 1) / frequency;
    info.slot_map.assign(frequency, 0);
  }
  const uint32_t bucket_bits = kAnsLogRange - static_cast<uint32_t>(log_alphabet_size);
  for (uint32_t x = 0; x < kAnsRange; ++x) {
    const AliasSlot slot =
        LookupAliasSlot(alias.data(), x, bucket_bits, (1u << bucket_bits) - 1);
    QOV_ENSURE(slot.symbol < symbols &&
               slot.offset < table[slot.symbol].slot_map.size());
    table[slot.symbol].slot_map[slot.offset] = static_cast<uint16_t>(x);
  }
  if (writer != nullptr) {
    QOV_ENSURE(record.alphabet_size <= 256);
    QOV_RETURN_IF_ERROR(WriteAnsHistogram(record, writer));
  }
  return static_cast<size_t>(std::ceil(record.cost));
}

}  // namespace qov
