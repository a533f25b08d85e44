// The tool with its scan held to the variants up to the one named first:
// `ostrel_variant scalar|portable|avx2 FILE START STOP ...`. The benchmark
// times the variants of one build with it, as the tool itself always takes
// the fastest its processor runs.
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <span>
#include <string_view>

#include "main.hpp"
#include "sample_decode.hpp"

int main(int argc, char** argv) {
  const std::span<const char* const> all(argv, static_cast<std::size_t>(argc));
  const std::string_view name = all.size() > 1 ? all[1] : "";
  if (name == "scalar") {
    ostrel::LimitVariantsForTesting(ostrel::Variant::kScalar);
  } else if (name == "portable") {
    ostrel::LimitVariantsForTesting(ostrel::Variant::kPortable);
  } else if (name != "avx2") {
    std::fputs("usage: ostrel_variant scalar|portable|avx2 ARGUMENTS...\n", stderr);
    return 64;
  }
  ostrel::Output out(STDOUT_FILENO);
  return ostrel::Run(all.subspan(2), out);
}
