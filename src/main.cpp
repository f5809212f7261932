#include "FolderParser.h"

int main(int argc, char* argv[]) {
  return RunFolderParser(argc, argv);
}
