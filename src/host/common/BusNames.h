#pragma once
// Where the server lives on the session bus.
namespace quorvan::host {

inline constexpr const char* kBusName = "org.quorvan.EcuQuorvanBT1";
inline constexpr const char* kObjectPath = "/org/quorvan/EcuQuorvanBT1";
inline constexpr const char* kErrorPrefix = "org.quorvan.EcuQuorvanBT1.Error.";
// The file D-Bus activation reads to start the server.
inline constexpr const char* kServiceFileName = "org.quorvan.EcuQuorvanBT1.service";

}  // namespace quorvan::host
