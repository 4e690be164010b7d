#pragma once

#include <string>
#include <vector>

namespace Quorin_Fuzz {

/// The forms a command's reply may take, written out from the command language's own texts:
/// an OK line; a FAILED line and ">-FAILED"; one JSON line of the listing's key; a usage block
/// ended by ">-WRONG FORMAT", ">-OVERRANGE" or ">-EXCEPTION" (after at most one line saying why);
/// a command's "-h" text; the help listing; a diagnosis text. Empty when `reply` is one of the
/// forms `line`'s command may answer, else what is wrong with it.
std::string reply_fault(const std::string& line, const std::string& reply);

/// `line` split as the console splits it: runs of characters other than blank, tab, newline,
/// carriage return, vertical tab and form feed.
std::vector<std::string> tokens(const std::string& line);

}  // namespace Quorin_Fuzz
