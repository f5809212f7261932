// The command line and the run: walks a folder and gathers each entry's comment block.
#pragma once

/// Writes the usage message to standard error.
void PrintUsage();

/// Runs the tool on its command line; returns 0 after a complete run, -1 after any failure.
int RunFolderParser(int argumentCount, char* argumentVector[]);
