#pragma once
// The live values of the simulated controllers: where each one lives on each family (a
// Visteon current-data PID, an MSE 1.0, MBE or Ficht memory address), how its raw reading
// maps to a physical value, and how the simulator lets it drift over time. The simulator and the
// demo's view share this one table, so what one writes the other reads back.
#include <cstdint>
#include <span>
#include <string>

namespace quorvan::host {

struct DemoChannel {
  const char* name;
  const char* unit;
  std::uint8_t pid;       // Visteon: PID of service 01 (engine speed is its one 2-byte PID)
  std::uint16_t address;  // MSE 1.0, MBE: memory address, least significant byte first;
                          // Ficht: the same address, most significant byte first
  std::int16_t size;      // bytes of the raw reading
  double scale;           // physical = raw * scale + offset
  double offset;
  double (*course)(double seconds);  // the physical value that long after the start
};

std::span<const DemoChannel> DemoChannels();

// The raw reading of a physical value, rounded and held to what `size` bytes can say.
std::uint32_t RawReading(const DemoChannel& channel, double physical);
double PhysicalValue(const DemoChannel& channel, std::int64_t raw);
// "1724 rpm".
std::string FormatPhysical(const DemoChannel& channel, std::int64_t raw);

// Where the client finds the channel in the watch table of that family (0x0100 + PID on
// Visteon, the memory address otherwise).
std::int32_t WatchAddress(const DemoChannel& channel, std::int32_t device);

}  // namespace quorvan::host
