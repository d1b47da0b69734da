// The program loads the SIMD library only when a dispatched kernel first
// asks which target to run. Loading it runs a timer calibration of its own,
// which would otherwise cost every run (most runs read headers only and
// never dispatch). These two entry points are the only ones the program
// takes from that library; they forward to the library's own, loaded once.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "hwy/targets.h"

namespace {

struct HwyEntryPoints {
  hwy::ChosenTarget& (*get_chosen_target)() = nullptr;
  int64_t (*supported_targets)() = nullptr;
};

const HwyEntryPoints& Loaded() {
  static const HwyEntryPoints entry_points = [] {
    HwyEntryPoints e;
    void* library = dlopen("libhwy.so.1", RTLD_NOW | RTLD_LOCAL);
    if (library != nullptr) {
      e.get_chosen_target = reinterpret_cast<hwy::ChosenTarget& (*)()>(
          dlsym(library, "_ZN3hwy15GetChosenTargetEv"));
      e.supported_targets =
          reinterpret_cast<int64_t (*)()>(dlsym(library, "_ZN3hwy16SupportedTargetsEv"));
    }
    if (e.get_chosen_target == nullptr || e.supported_targets == nullptr) {
      std::fprintf(stderr, "qovinfo: cannot load libhwy.so.1: %s\n", dlerror());
      std::abort();
    }
    return e;
  }();
  return entry_points;
}

}  // namespace

namespace hwy {

ChosenTarget& GetChosenTarget() { return Loaded().get_chosen_target(); }
int64_t SupportedTargets() { return Loaded().supported_targets(); }

}  // namespace hwy
