// Lehmer-code permutations: reading the code and decoding it with a
// Fenwick tree.
#include "lib/bitstream/permutation.h"

#include "lib/bitstream/entropy_code.h"

namespace qov {

Status ReadLehmerPermutation(uint64_t skip, uint64_t size,
                             uint32_t* permutation, BitReader& reader,
                             SymbolReader& symbols,
                             const std::vector<uint8_t>& context_map) {
  if (context_map.size() < kPermutationContexts) return FailedStatus();
  const uint32_t size_context = PermutationContext(
      size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size));
  const uint64_t end =
      symbols.ReadClusteredUint(context_map[size_context], reader);
  if (skip > size || end > size - skip) return FailedStatus();

  std::vector<uint32_t> lehmer(size, 0);
  uint32_t previous = 0;
  for (uint64_t i = skip; i < skip + end; ++i) {
    const uint32_t v = symbols.ReadClusteredUint(
        context_map[PermutationContext(previous)], reader);
    if (v >= size - i) return FailedStatus();
    lehmer[i] = v;
    previous = v;
  }
  if (permutation == nullptr) return OkStatus();

  // Fenwick tree over 2^ceil(log2 n) slots, each counting one free value.
  uint64_t slots = 1;
  while (slots < size) slots <<= 1;
  std::vector<uint32_t> tree(slots + 1, 0);
  for (uint64_t i = 1; i <= slots; ++i) tree[i] = static_cast<uint32_t>(i & (~i + 1));
  for (uint64_t j = 0; j < size; ++j) {
    // Find the (lehmer[j] + 1)-th free value.
    uint64_t rank = uint64_t{lehmer[j]} + 1;
    uint64_t pos = 0;
    for (uint64_t step = slots; step != 0; step >>= 1) {
      if (pos + step <= slots && tree[pos + step] < rank) {
        pos += step;
        rank -= tree[pos];
      }
    }
    // pos is the 0-based value; take it out of the tree.
    permutation[j] = static_cast<uint32_t>(pos);
    for (uint64_t k = pos + 1; k <= slots; k += k & (~k + 1)) --tree[k];
  }
  return OkStatus();
}

Status ReadPermutationWithCodes(const QovMemoryManagerStruct* memory_manager,
                                uint64_t skip, uint64_t size,
                                uint32_t* permutation, BitReader& reader) {
  EntropyCodeSet codes;
  std::vector<uint8_t> context_map;
  QOV_RETURN_IF_ERROR(ReadEntropyCodeSet(memory_manager, reader,
                                         kPermutationContexts, &codes,
                                         context_map, false));
  // At most the length and one code per entry: a window of that many.
  const uint64_t max_values = skip <= size ? size - skip + 1 : 1;
  QOV_ASSIGN_OR_RETURN(SymbolReader symbols,
                       SymbolReader::Create(codes, reader, 0, max_values));
  QOV_RETURN_IF_ERROR(ReadLehmerPermutation(skip, size, permutation, reader,
                                            symbols, context_map));
  return symbols.CheckFinalState() ? OkStatus() : FailedStatus();
}

}  // namespace qov
