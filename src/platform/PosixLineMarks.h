#pragma once
// Undoes the kernel's marking of line errors in the input of a tty set to PARMRK with
// INPCK (IGNBRK, BRKINT, IGNPAR and ISTRIP off):
//   FF FF     a data byte FF
//   FF 00 00  a BREAK was received                  -> comm::comEventBreak
//   FF 00 b   byte b arrived with a framing error   -> comm::comEventFrame
//             (or a parity error; with no parity configured only framing errors occur)
// The byte that came with an error is not data and is dropped, like the 00 of a break.
// A mark may be split across reads: the parser keeps its state between feeds.
#include <string>
#include <string_view>
#include <vector>

namespace quorvan {

class PosixLineMarkParser {
 public:
  // What came in, in order: a run of data bytes or a line event.
  struct Piece {
    std::string data;  // when event == 0
    int event = 0;     // a comm:: event code, or 0 for data

    bool operator==(const Piece&) const = default;
  };

  // Decodes raw input and appends pieces to `out`, merging consecutive data (also with
  // a data piece already at the end of `out`).
  void feed(std::string_view raw, std::vector<Piece>& out);

  // Forgets a mark begun but not finished (after the input was flushed).
  void reset() { state_ = State::Data; }
  // True while the start of a mark waits for its remaining bytes.
  bool midMark() const { return state_ != State::Data; }

 private:
  enum class State { Data, SawFF, SawFF00 };
  State state_ = State::Data;
};

}  // namespace quorvan
