// Win32 command lines.
#pragma once

#include <string>
#include <vector>

namespace w32p {

// Splits a command line into arguments by the rules of the Windows C
// runtime: the program name ends at the closing quote or the first blank;
// later arguments are separated by blanks, double quotes group, 2n
// backslashes before a quote give n backslashes and a grouping quote,
// 2n+1 give n backslashes and a literal quote, "" inside a group is a
// literal quote, and other backslashes are literal.
std::vector<std::string> split_command_line(const std::string& line);

// The names CreateProcessA tries as the program when no application name
// is given: the quoted first token, or each blank-delimited prefix of the
// line in turn ("c:\a b\c d" tries "c:\a", then "c:\a b\c", then "c:\a b\c d").
std::vector<std::string> program_candidates(const std::string& line);

// Finds the executable for a program name as CreateProcessA does: a name
// with a directory part is taken relative to the current directory; a bare
// name is searched in the program's directory, the current directory, the
// system directory, the Windows directory and PATH. "X.EXE" also finds the
// executable "X"; a name without extension also tries "X.exe".
bool find_program(const std::string& name, bool search, std::string* path);

}  // namespace w32p
