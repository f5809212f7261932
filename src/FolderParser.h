// The command line and the run: walks a folder and gathers each entry's comment block.
#pragma once

/// Writes the usage message to standard error.
void PrintUsage();

/// Runs the tool on its command line, reading ahead as far as the storage asks; returns 0 after a
/// complete run and -1 after a failure before the walk; after one during the walk, ends the
/// process with status 255.
int RunFolderParser(int argumentCount, char* argumentVector[]);
