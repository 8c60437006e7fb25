#pragma once
// The MSE 1.0 receive pump: runs inside the receive event, answers each controller byte
// with its complement, assembles the controller's blocks and sends the server's own
// blocks byte by byte under the complement handshake.
#include <cstdint>

namespace quorvan {

class frmCommThread;
struct Mse10Link;

// One receive event on the MSE 1.0 path; reads the input itself.
void DataPump(frmCommThread& f, Mse10Link& m);

// Builds txBlock for a title (-1: nothing) with the next block counter and starts it.
void SendBlock(frmCommThread& f, Mse10Link& m, std::int32_t title);
// (Re)starts sending txBlock from its length byte.
void SendPacket(frmCommThread& f, Mse10Link& m);
void SendBlockByte(frmCommThread& f, Mse10Link& m, std::uint8_t b);
// Sends ((255 - b) + offset) modulo 256.
void SendComplemNow(frmCommThread& f, Mse10Link& m, std::uint8_t b, std::int32_t offset);
// Acknowledges a controller byte: its complement, interByteDelay + 1 ms after the event.
void AnswerByte(frmCommThread& f, Mse10Link& m, std::uint8_t b);
// Abandons the block being received.
void ReSync(frmCommThread& f, Mse10Link& m);

// A read-memory block carries one size byte and a two-byte address.
bool FitsReadMemoryBlock(std::int32_t address, std::int16_t size);

}  // namespace quorvan
