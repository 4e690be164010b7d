#pragma once

#include <iostream>
#include <sstream>
#include <string>

namespace Quorin_Test {

/// Captures what is written to std::cout (the log) while in scope.
class Captured_Stdout {
public:
    Captured_Stdout() : old(std::cout.rdbuf(buffer.rdbuf())) {}
    ~Captured_Stdout() { std::cout.rdbuf(old); }

    std::string text() const { return buffer.str(); }
    bool contains(const std::string& piece) const { return text().find(piece) != std::string::npos; }

private:
    std::ostringstream buffer;
    std::streambuf* old;
};

}  // namespace Quorin_Test
