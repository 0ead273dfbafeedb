// Names of the platform layer's machine-wide POSIX objects.
//
// Win32 object names are arbitrary text (the product uses names that end in
// a line feed), so they are never used as file names directly: shm_name()
// keeps a readable, sanitised prefix and appends a 64-bit hash of the exact
// name. Callers store the exact name inside the object and compare it on
// open, so a hash collision can never join two different objects.
//
// The environment variable W32POSIX_NAMESPACE, when set, gives the calling
// process (and every child that inherits it) a private namespace: test runs
// never see each other's objects and `ctest -j` is safe. Without it every
// process of the machine shares the namespace "global".
#pragma once

#include <stdint.h>

#include <string>
#include <string_view>

namespace w32p {

// The namespace in force for this process ("global" by default).
const std::string& name_space();

// FNV-1a, 64 bits: stable across processes and builds.
uint64_t hash64(std::string_view text);

// "/w32p.<namespace>.<kind>.<sanitised prefix>.<hash>", at most 200 bytes:
// a valid shm_open() name. `kind` separates the layer's own families of
// objects (for example "obj" for named kernel objects, "win" for the window
// table); it is a short identifier chosen by the caller.
std::string shm_name(std::string_view kind, std::string_view object_name);

}  // namespace w32p
