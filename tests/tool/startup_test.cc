// qovinfo's start-up: the SIMD library is not among the libraries loaded
// before main (loading it runs a timer calibration); the program loads it
// on the first dispatched kernel, and reports still come out whole.
#include <elf.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/tool/tool_run_helpers.h"

namespace qov {
namespace {

// The DT_NEEDED names of a 64-bit little-endian ELF file (empty on any
// inconsistency, which the test then reports).
std::vector<std::string> NeededLibraries(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> f((std::istreambuf_iterator<char>(in)),
                            std::istreambuf_iterator<char>());
  std::vector<std::string> names;
  if (f.size() < sizeof(Elf64_Ehdr)) return names;
  Elf64_Ehdr eh;
  std::memcpy(&eh, f.data(), sizeof(eh));
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64) {
    return names;
  }
  auto section = [&](size_t i, Elf64_Shdr* sh) {
    const uint64_t at = eh.e_shoff + i * uint64_t{eh.e_shentsize};
    if (at + sizeof(Elf64_Shdr) > f.size()) return false;
    std::memcpy(sh, f.data() + at, sizeof(*sh));
    return sh->sh_offset + sh->sh_size <= f.size();
  };
  for (size_t i = 0; i < eh.e_shnum; ++i) {
    Elf64_Shdr dyn, str;
    if (!section(i, &dyn) || dyn.sh_type != SHT_DYNAMIC) continue;
    if (!section(dyn.sh_link, &str)) return names;
    for (uint64_t at = dyn.sh_offset; at + sizeof(Elf64_Dyn) <= dyn.sh_offset + dyn.sh_size;
         at += sizeof(Elf64_Dyn)) {
      Elf64_Dyn d;
      std::memcpy(&d, f.data() + at, sizeof(d));
      if (d.d_tag == DT_NULL) break;
      if (d.d_tag != DT_NEEDED || d.d_un.d_val >= str.sh_size) continue;
      const char* name = f.data() + str.sh_offset + d.d_un.d_val;
      names.emplace_back(name, strnlen(name, str.sh_size - d.d_un.d_val));
    }
  }
  return names;
}

TEST(StartupTest, SimdLibraryNotLoadedBeforeMain) {
  const std::vector<std::string> needed = NeededLibraries(ToolPath());
  ASSERT_FALSE(needed.empty()) << "no dynamic section read from " << ToolPath();
  bool has_libc = false;
  for (const std::string& name : needed) {
    EXPECT_EQ(std::string::npos, name.find("libhwy")) << name;
    if (name.rfind("libc.so", 0) == 0) has_libc = true;
  }
  EXPECT_TRUE(has_libc);
}

}  // namespace
}  // namespace qov
