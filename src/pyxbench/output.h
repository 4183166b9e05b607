// Where pyxbench writes. The library's asynchronous logger takes over the
// process's standard output and error (they are redirected into its log
// file), so pyxbench keeps copies of both taken before the library starts.
#ifndef PYXBENCH_OUTPUT_H_
#define PYXBENCH_OUTPUT_H_

#include <cstdio>

namespace pyxbench {

// Duplicates descriptors 1 and 2 into the streams Out() and Err(). Call
// before the library starts.
void SaveStandardStreams();
FILE* Out();
FILE* Err();
// Whether Err() is a terminal (progress lines may then be redrawn).
bool ErrIsTerminal();

}  // namespace pyxbench

#endif  // PYXBENCH_OUTPUT_H_
