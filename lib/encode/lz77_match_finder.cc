// LZ77 match finder.
#include "lib/encode/lz77_match_finder.h"

#include <algorithm>

namespace qov {

size_t Lz77MatchFinder::WindowSizeFor(size_t count) {
  const size_t target = std::min<size_t>(count, size_t{1} << 20);
  size_t window = 1;
  while (window < target) window <<= 1;
  return window;
}

Lz77MatchFinder::Lz77MatchFinder(const uint32_t* values, size_t count,
                                 size_t window_size, size_t min_length,
                                 size_t max_length, size_t row_width)
    : size_(count),
      values_(values, values + count),
      head_(hash_size_, -1),
      chain_(window_size),
      slot_hash_(window_size, -1),
      zero_head_(window_size + 1, -1),
      zero_chain_(window_size),
      zero_run_(window_size, 0),
      window_size_(window_size),
      window_mask_(window_size - 1),
      min_length_(min_length),
      max_length_(max_length) {
  for (size_t i = 0; i < window_size; ++i) {
    chain_[i] = static_cast<uint32_t>(i);
    zero_chain_[i] = static_cast<uint32_t>(i);
  }
  if (row_width != 0) {
    // From the last index down, so that the lowest index of a distance wins.
    for (uint32_t i = kNumSpecialDistances; i-- > 0;) {
      special_[Lz77SpecialDistance(i, row_width)] = i;
    }
    special_count_ = kNumSpecialDistances;
  }
}

uint32_t Lz77MatchFinder::Hash(size_t p) const {
  if (p + 2 >= size_) return 0;
  return ((values_[p + 1] << hash_shift_) ^ values_[p] ^
          (values_[p + 2] << 10)) &
         hash_mask_;
}

uint32_t Lz77MatchFinder::DistanceSymbol(uint32_t distance) const {
  if (special_count_ != 0) {
    const auto it = special_.find(static_cast<int32_t>(distance));
    if (it != special_.end()) return it->second;
  }
  return distance + static_cast<uint32_t>(special_count_) - 1;
}

void Lz77MatchFinder::Insert(size_t p) {
  const uint32_t h = Hash(p);
  const size_t q = p & window_mask_;
  slot_hash_[q] = static_cast<int32_t>(h);
  if (head_[h] != -1) chain_[q] = static_cast<uint32_t>(head_[h]);
  head_[h] = static_cast<int32_t>(q);

  const size_t limit = std::min(size_, p + window_size_);
  if ((p > 0 && values_[p] != values_[p - 1]) || current_zero_run_ == 0) {
    uint32_t run = 0;
    while (p + run < limit && values_[p + run] == 0) ++run;
    current_zero_run_ = run;
  } else if (!(current_zero_run_ == window_size_ &&
               p + window_size_ <= size_ &&
               values_[p + window_size_ - 1] == 0)) {
    --current_zero_run_;
  }
  zero_run_[q] = current_zero_run_;
  if (zero_head_[current_zero_run_] != -1) {
    zero_chain_[q] = static_cast<uint32_t>(zero_head_[current_zero_run_]);
  }
  zero_head_[current_zero_run_] = static_cast<int32_t>(q);
}

template <class Visit>
void Lz77MatchFinder::Search(size_t p, Visit visit) const {
  const size_t end = std::min(size_, p + max_length_);
  const uint32_t h = Hash(p);
  const size_t q = p & window_mask_;
  auto distance_to = [&](size_t slot) {
    return slot > q ? q + window_size_ - slot : q - slot;
  };
  size_t c = chain_[q];
  size_t d = distance_to(c);
  size_t best = 0;
  for (uint32_t candidates = 1;; ++candidates) {
    size_t len = 0;
    if (d > 0 && d <= p) {
      size_t skip = 0;
      if (current_zero_run_ >= 4) {
        skip = std::min<size_t>(zero_run_[c], current_zero_run_ - 1);
        if (p + skip >= end) skip = end - p - 1;
      }
      len = skip;
      while (p + len < end && values_[p + len] == values_[p - d + len]) ++len;
      if (len >= min_length_ && len + 2 >= best) {
        best = std::max(best, len);
        visit(len, DistanceSymbol(static_cast<uint32_t>(d)));
      }
    }
    if (candidates >= max_chain_) break;
    size_t next;
    if (current_zero_run_ >= 3 && current_zero_run_ < len) {
      next = zero_chain_[c];
      if (next == c || zero_run_[next] != current_zero_run_) break;
    } else {
      next = chain_[c];
      if (next == c || slot_hash_[next] != static_cast<int32_t>(h)) break;
    }
    const size_t next_d = distance_to(next);
    if (next_d < d) break;
    c = next;
    d = next_d;
  }
}

void Lz77MatchFinder::FindMatch(size_t p, uint32_t* symbol,
                                size_t* length) const {
  *symbol = 0;
  *length = 1;
  Search(p, [&](size_t len, uint32_t s) {
    if (len > *length || (len == *length && s < *symbol)) {
      *length = len;
      *symbol = s;
    }
  });
}

std::vector<uint32_t> Lz77MatchFinder::FindAllMatches(size_t p) const {
  std::vector<uint32_t> matches;
  Search(p, [&](size_t len, uint32_t s) {
    if (matches.size() < len + 1) matches.resize(len + 1, s);
    matches[len] = std::min(matches[len], s);
  });
  return matches;
}

}  // namespace qov
