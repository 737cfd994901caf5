// The program's arguments as a request tree: one child per non-empty argument, in order.
//
//   //dNAMEd/value   -> NAME = value (d any one character)
//   //dtext          -> TEXT (without its first character) = ""
//   -name:value, /name=value (first of ":" "=" separates) -> NAME = value
//   -name, /name     -> NAME = ""
//   anything else    -> Tag = the argument
// Names are upper-cased with their leading "-" and "/" removed; a name that comes out empty
// leaves the child named "Tag".
#pragma once

#include "core/UnitXmlDoc.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace UnitCommandLine {

// The name and value one argument gives ("Tag" when no name results).
std::pair<std::string, std::string> ParseArgument(std::string_view argument);

void LoadCommandLine(TXmlDoc& tree, const std::vector<std::string>& arguments);

// The arguments joined by spaces, as the trace shows the command line.
std::string JoinCommandLine(const std::vector<std::string>& arguments);

}  // namespace UnitCommandLine
