// swarm: runs the server against hostile simulated controllers and clients, one seed per
// run, and says which seeds broke which rule.
#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>

#include "SwarmRun.h"

namespace {

struct Options {
  std::uint64_t seeds = 1;
  std::uint64_t from = 1;
  std::optional<std::uint64_t> seed;
  std::optional<std::uint32_t> minutes;
  std::optional<std::string> family;
  bool verbose = false;
  bool journal = false;
  bool wire = false;
  std::string traceFile;
};

void report(const quorvan::swarm::RunResult& r, const Options& o) {
  const bool verbose = o.verbose || o.seed.has_value();
  if (r.violations.empty() && !verbose) return;
  fmt::print("seed {}: {}, {:.1f} simulated minutes, {}\n", r.seed, r.family, r.linkSeconds / 60,
             r.plan);
  fmt::print("  wire digest {:016x}\n", r.digest);
  for (const auto& v : r.violations) fmt::print("  violation {}\n", v);
  if (!r.violations.empty()) {
    fmt::print("  replay: scripts/swarm --seed {}{}\n", r.seed,
               o.family ? " --family " + *o.family : "");
  }
}

void writeTrace(const std::string& file, const std::vector<std::string>& lines) {
  std::ofstream out(file, std::ios::binary);
  for (const auto& l : lines) out << l << '\n';
  if (!out) fmt::print(stderr, "swarm: cannot write the trace to {}\n", file);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{
      "Runs the whole server on the virtual clock against simulated controllers whose line, "
      "controller and client misbehave at random, one seed per run, and checks that nothing "
      "wrong is delivered, nothing false reported done, nothing hangs, and the link comes back "
      "once the misbehaviour ends. Exit code 0: no violation; 1: a violation (its seed and the "
      "command that replays it are printed)."};
  app.add_option("--seeds", o.seeds, "How many seeds to run")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_option("--from", o.from, "The first seed")->capture_default_str();
  app.add_option("--seed", o.seed, "Replays one seed and tells what it did")
      ->excludes("--seeds", "--from");
  app.add_option(
         "--minutes", o.minutes,
         "Simulated minutes of misbehaviour per seed (default: drawn from the seed, 5 to 30)")
      ->check(CLI::Range(1, 24 * 60));
  app.add_option("--family", o.family,
                 "Runs every seed against this family instead of the one the seed draws")
      ->check(CLI::IsMember(quorvan::swarm::SwarmFamilyNames()));
  app.add_flag("--journal", o.journal,
               "With --seed: print every client call, event and change of the simulated world");
  app.add_flag("--wire", o.wire,
               "With --journal: every byte on the wire too ('>' from the server, '<' from the "
               "vehicle)");
  app.add_option("--trace", o.traceFile,
                 "With --seed: write the server's trace to this file as it was at the first "
                 "violation, or at the run's end (kept only when the seed turned the debug "
                 "trace on)");
  app.add_flag("-v,--verbose", o.verbose, "Tell every seed's run, not only the failing ones");
  CLI11_PARSE(app, argc, argv);

  const std::uint64_t first = o.seed.value_or(o.from);
  const std::uint64_t count = o.seed ? 1 : o.seeds;
  double linkSeconds = 0;
  std::size_t violations = 0;
  for (std::uint64_t seed = first; seed < first + count; ++seed) {
    // On a crash or a stall, the last seed named here is the one to replay.
    std::fprintf(stderr, "\rseed %llu ", static_cast<unsigned long long>(seed));
    const bool replay = o.seed.has_value();
    const auto r = quorvan::swarm::RunSeed(
        {seed, o.minutes, o.journal && replay, replay && !o.traceFile.empty(), o.wire, o.family});
    for (const auto& line : r.journal) fmt::print("{}\n", line);
    if (!r.trace.empty()) writeTrace(o.traceFile, r.trace);
    report(r, o);
    linkSeconds += r.linkSeconds;
    violations += r.violations.size();
  }
  std::fprintf(stderr, "\r");
  fmt::print("swarm: {} seeds, {:.1f} simulated link-hours, {} violations\n", count,
             linkSeconds / 3600, violations);
  return violations == 0 ? 0 : 1;
}
