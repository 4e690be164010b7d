#pragma once

// The console's line editor: GNU Readline's `readline` (with a prompt; the line in memory
// from malloc, or null at end of input) and `add_history`. GNU Readline has no Windows build
// here, so on Windows Line_Editor_windows.cpp supplies the same two calls over a Line_Reader.
#ifdef _WIN32
extern "C" {
/// Writes `prompt` and reads one line from standard input; the caller frees it with free().
/// Null at end of input.
char* readline(const char* prompt);
/// Keeps `line` in the in-memory history.
void add_history(const char* line);
}
#else
#include <cstdio>  // GNU Readline's header uses FILE without including it

#include <readline/history.h>
#include <readline/readline.h>
#endif
