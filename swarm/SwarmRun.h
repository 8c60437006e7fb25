#pragma once
// One swarm run: the whole server, unchanged, on the virtual clock against a simulated
// controller, with a client script and misbehaviour of the line and the controller all
// drawn from one seed, and every event checked against the simulated world's truth.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvan::swarm {

struct RunOptions {
  std::uint64_t seed = 1;
  std::optional<std::uint32_t> minutes;  // of misbehaviour; by default drawn from the seed
  bool journal = false;                  // keep every call, event and change of the world
  bool trace = false;                    // keep the server's on-screen trace at the end
  bool wire = false;                     // with the journal: every byte on the wire
  // The family to run, by name; by default drawn from the seed. The seed's draw is made
  // either way, so the rest of the run is the same as when the seed chose this family.
  std::optional<std::string> family;
};

struct RunResult {
  std::uint64_t seed = 0;
  std::string family;
  std::string plan;  // the misbehaviours the seed chose
  double linkSeconds = 0;
  std::uint64_t digest = 0;  // of every byte on the wire and its instant: a replay's proof
  std::vector<std::string> violations;
  std::vector<std::string> journal;
  std::vector<std::string> trace;
};

RunResult RunSeed(const RunOptions& options);

// The names of the families the swarm knows, as RunOptions::family takes them.
std::vector<std::string> SwarmFamilyNames();

}  // namespace quorvan::swarm
