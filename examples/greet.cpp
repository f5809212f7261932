#include <cstdio>

/*
greet: prints a friendly greeting.
Usage: greet NAME
*/
int main(int argc, char* argv[]) {
  std::printf("Hello, %s!\n", argc > 1 ? argv[1] : "world");
  return 0;
}
