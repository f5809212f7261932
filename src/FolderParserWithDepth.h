// The run with a depth rule of the caller's, for the test tool, which makes the walk deep when it
// chooses; not part of the tool's interface.
#pragma once

#include "DepthPolicy.h"

/// Runs the tool on its command line as RunFolderParser() does, reading ahead as \a depth says.
int RunFolderParserWithDepth(int argumentCount, char* argumentVector[], DepthRule depth);
