// Windows directories and Windows-style paths on POSIX.
#pragma once

#include <string>
#include <vector>

namespace w32p {

// W32POSIX_ROOT, or /var/lib/w32posix; no trailing slash.
std::string windows_root();
std::string windows_dir();  // <root>/WINDOWS
std::string system_dir();   // <root>/WINDOWS/SYSTEM32

// A path as given to a Win32 call, as a POSIX path: backslashes become
// slashes, a drive prefix "C:\" becomes <root>/, and every component that
// does not exist as spelt is matched case-insensitively against its
// directory. Components that match nothing are kept as given (so the path
// can name a file to be created).
std::string posix_path(const std::string& win_path);

// Directory of the running program (from /proc/self/exe).
std::string program_dir();

// True when the path names an executable regular file.
bool is_executable(const std::string& path);

// Copies `s` into a Win32 buffer of `size` bytes; returns the length when it
// fits, else the size needed including the terminating zero.
unsigned copy_out(const std::string& s, char* buffer, unsigned size);

}  // namespace w32p
