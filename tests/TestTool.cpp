// The tool as the run tests also run it. "--alternate" before its arguments makes the walk deep
// from the start, then shallow and deep in turn every few entries. Built as the tool is, with no
// C++ runtime, so that it runs under the same limits.
#include <cstring>

#include "FolderParser.h"
#include "FolderParserWithDepth.h"
#include "TestDepths.h"

int main(int argc, char* argv[]) {
  if (argc > 1 && std::strcmp(argv[1], "--alternate") == 0) {
    argv[1] = argv[0];
    return RunFolderParserWithDepth(argc - 1, argv + 1, kDeepAndShallowInTurn);
  }
  return RunFolderParser(argc, argv);
}
