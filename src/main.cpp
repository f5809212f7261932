// The tool's entry point: the run, with the read-ahead the storage asks for.
#include "FolderParser.h"

int main(int argc, char* argv[]) {
  return RunFolderParser(argc, argv);
}
