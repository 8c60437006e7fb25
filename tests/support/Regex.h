#pragma once
// <regex> for the tests that match texts with a time of day in them.
//
// GCC 12, optimising with the sanitizers on, warns falsely inside libstdc++'s regex
// compiler: it moves states that are not matcher states (_State(_State&&) in
// bits/regex_automaton.h copies the std::function matcher only when the opcode is
// _S_opcode_match) and reports that std::function as maybe uninitialised. The warning
// is silenced for the library's own code only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop
