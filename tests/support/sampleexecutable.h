#pragma once

#include <QByteArray>

// What one version of the sample executable differs in from the first.
struct ExecutableVersion
{
    int grown = -1;           // this function has 50 bytes more code, so every later one moves
    int changedConstant = -1; // this constant holds another value
    bool pointerInserted = false; // one more pointer, with its relocation, heads the pointer table
};

// A shared object or DLL laid out as a linker lays one out, sections back to back: 60 functions
// calling each other and reading constants and a pointer table RIP-relative, the table's pointers
// relocated (ELF: R_X86_64_RELATIVE, their addends also in place as ld writes them; PE: base
// relocations, and an exception entry per function).
QByteArray sampleExecutable(const ExecutableVersion &version, bool pe = false);
