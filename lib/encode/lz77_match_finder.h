// Match finding over the values of one token stream: hash chains over value
// triples, chains over zero-run lengths, and the distance-to-symbol map of
// LZ77 distance tokens (with the two-dimensional special distances when the
// stream has a row width).
#ifndef QOV_LIB_ENCODE_LZ77_MATCH_FINDER_H_
#define QOV_LIB_ENCODE_LZ77_MATCH_FINDER_H_

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "lib/bitstream/lz77_special_distances.h"

namespace qov {

class Lz77MatchFinder {
 public:
  // `window_size` must be a power of two; callers pass the smallest one not
  // below min(count, 2^20) (1 for count <= 1).
  Lz77MatchFinder(const uint32_t* values, size_t count, size_t window_size,
                  size_t min_length, size_t max_length, size_t row_width);

  // Positions are inserted in increasing order, each once, before any search
  // from them.
  void Insert(size_t p);
  // Distance symbol and length of the best copy from p; length 1 when none.
  void FindMatch(size_t p, uint32_t* symbol, size_t* length) const;
  // Entry len: the smallest distance symbol of a copy of at least len values
  // seen while searching from p (empty when none).
  std::vector<uint32_t> FindAllMatches(size_t p) const;

  // Distance symbol of a copy from `distance` back.
  uint32_t DistanceSymbol(uint32_t distance) const;
  size_t special_count() const { return special_count_; }

  // The window size every LZ77 method uses for a stream of `count` values.
  static size_t WindowSizeFor(size_t count);

 private:
  uint32_t Hash(size_t p) const;
  // Calls visit(length, symbol) for every counted candidate.
  template <class Visit>
  void Search(size_t p, Visit visit) const;

  size_t size_;
  std::vector<uint32_t> values_;
  uint32_t hash_size_ = 32768;
  uint32_t hash_mask_ = 32767;
  uint32_t hash_shift_ = 5;
  std::vector<int32_t> head_;
  std::vector<uint32_t> chain_;
  std::vector<int32_t> slot_hash_;
  std::vector<int32_t> zero_head_;
  std::vector<uint32_t> zero_chain_;
  std::vector<uint32_t> zero_run_;
  uint32_t current_zero_run_ = 0;
  size_t window_size_;
  size_t window_mask_;
  size_t min_length_;
  size_t max_length_;
  std::unordered_map<int32_t, uint32_t> special_;
  size_t special_count_ = 0;
  uint32_t max_chain_ = 256;
};

}  // namespace qov

#endif  // QOV_LIB_ENCODE_LZ77_MATCH_FINDER_H_
