#include "platform/PosixLineMarks.h"

#include "platform/SerialDevice.h"

namespace quorvan {

namespace {

void addData(std::vector<PosixLineMarkParser::Piece>& out, char c) {
  if (out.empty() || out.back().event != 0) out.push_back({});
  out.back().data.push_back(c);
}

void addEvent(std::vector<PosixLineMarkParser::Piece>& out, int event) {
  out.push_back({{}, event});
}

}  // namespace

void PosixLineMarkParser::feed(std::string_view raw, std::vector<Piece>& out) {
  constexpr char kFF = static_cast<char>(0xFF);
  for (const char c : raw) {
    switch (state_) {
      case State::Data:
        if (c == kFF)
          state_ = State::SawFF;
        else
          addData(out, c);
        break;
      case State::SawFF:
        if (c == kFF) {
          addData(out, kFF);
          state_ = State::Data;
        } else if (c == 0) {
          state_ = State::SawFF00;
        } else {
          // Not a mark the kernel makes (the tty was not set to PARMRK when these bytes
          // came in): keep both bytes as data.
          addData(out, kFF);
          addData(out, c);
          state_ = State::Data;
        }
        break;
      case State::SawFF00:
        addEvent(out, c == 0 ? comm::comEventBreak : comm::comEventFrame);
        state_ = State::Data;
        break;
    }
  }
}

}  // namespace quorvan
