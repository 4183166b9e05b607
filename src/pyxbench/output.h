// Where pyxbench writes. The library's asynchronous logger takes over the
// process's standard output and error (they are redirected into its log
// file), so pyxbench keeps copies of both taken before the library starts.
#ifndef PYXBENCH_OUTPUT_H_
#define PYXBENCH_OUTPUT_H_

#include <cstdio>
#include <string>

namespace pyxbench {

// Duplicates descriptors 1 and 2 into the streams Out() and Err(). Call
// before the library starts.
void SaveStandardStreams();
// Points descriptors 1 and 2 at `path` (appending); Out() and Err() keep
// writing where the streams went before.
void RedirectStandardStreams(const std::string& path);
FILE* Out();
FILE* Err();
// Whether Err() is a terminal (progress lines may then be redrawn).
bool ErrIsTerminal();

}  // namespace pyxbench

#endif  // PYXBENCH_OUTPUT_H_
