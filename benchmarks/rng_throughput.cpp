// Throughput of the random source on one core: GB/s of ChaCha8 and ChaCha12
// keystream taken through draw_u64, and draws per second of the uniform and
// normal variates. Run a Release build; figures vary with the machine.
#include "random.hpp"

#include <chrono>
#include <cstdint>
#include <cstdio>

namespace {

constexpr std::uint64_t kWordDraws = 1ULL << 27;   // 1 GiB of keystream
constexpr std::uint64_t kVariateDraws = 1ULL << 25;
constexpr double kGiga = 1e9;

// Runs `draws` calls of `draw` and returns the seconds taken; the results are
// summed in their own type (a double sum would cost a 4-cycle add chain per
// u64 draw) and folded into `sink` so that the work cannot be optimized away.
template <class Draw>
double time_draws(std::uint64_t draws, Draw draw, double& sink) {
  const auto start = std::chrono::steady_clock::now();
  decltype(draw()) acc{};
  for (std::uint64_t i = 0; i < draws; ++i) acc += draw();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  sink += static_cast<double>(acc);
  return elapsed.count();
}

void keystream(const char* name, int rounds, double& sink) {
  varlix::Rng rng({1, 2, 3, 4, 5, 6, 7, 8}, rounds, false);
  const double seconds = time_draws(kWordDraws, [&] { return rng.draw_u64(); }, sink);
  std::printf("%-26s %8.2f GB/s\n", name, static_cast<double>(kWordDraws * 8) / seconds / kGiga);
}

void variates(const char* name, double (*draw)(varlix::Rng&), double& sink) {
  varlix::SeededRng rng = varlix::seed_from_u64(1);
  const double seconds = time_draws(kVariateDraws, [&] { return draw(rng); }, sink);
  std::printf("%-26s %8.1f M draws/s\n", name, static_cast<double>(kVariateDraws) / seconds / 1e6);
}

}  // namespace

int main() {
  double sink = 0.0;
  keystream("ChaCha8 keystream", 8, sink);
  keystream("ChaCha12 keystream", 12, sink);
  variates("standard_uniform (seeded)", [](varlix::Rng& rng) { return varlix::standard_uniform(rng); }, sink);
  variates("standard_normal (seeded)", varlix::standard_normal, sink);
  variates("standard_uniform (thread)",
           [](varlix::Rng&) { return varlix::standard_uniform(varlix::thread_rng()); }, sink);
  std::printf("(checksum %g)\n", sink);
}
