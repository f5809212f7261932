/* Makes the benchmark's corpora.
     corpus small FOLDER     20,000 source-like files of about 2 KiB, each with a 12-line block
     corpus plain FOLDER     the same files with "//" where their markers stand: no block at all
     corpus bigblock FILE    256 MiB whose block opens on its first line and never closes
     corpus bigtail FILE     2 GiB whose block closes on its third line
     corpus many N L FOLDER  N entries with an L-line block each, hard links to a few files
     corpus large FOLDER     2,000 files of 100 KiB, each with a 3-line block at its head */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int WriteCode(FILE *out, long long size, long long seed) {
  long long written = 0;
  for (long long line = 0; written < size; ++line) {
    int n = fprintf(out, "  total_%lld += compute_value(items[%lld], %lld) * factor; /* step */\n",
                    (seed + line) % 97, line, (seed * 31 + line) % 1009);
    if (n < 0) return -1;
    written += n;
  }
  return 0;
}

static int MakeSmall(const char *folder, int withBlock) {
  char path[4096];
  for (int index = 0; index < 20000; ++index) {
    snprintf(path, sizeof path, "%s/module_%05d.cpp", folder, index);
    FILE *out = fopen(path, "w");
    if (out == NULL) return -1;
    fprintf(out, "#include <cstdio>\n#include \"module_%05d.h\"\n\nnamespace app {\n\n%s\n", index,
            withBlock ? "/*" : "//");
    for (int line = 1; line <= 12; ++line)
      fprintf(out, "Module %d, note %d: what this part does and why it is here.\n", index, line);
    fprintf(out, "%s\nint Run%05d(int items[]) {\n  int total = 0;\n", withBlock ? "*/" : "//", index);
    WriteCode(out, 2048 - 6 * 18 - 12 * 60 - 60, index);
    fprintf(out, "  return total;\n}\n\n}  // namespace app\n");
    if (fclose(out) != 0) return -1;
  }
  return 0;
}

static int MakeBig(const char *path, long long size, int closeOnThirdLine) {
  FILE *out = fopen(path, "w");
  if (out == NULL) return -1;
  fputs(closeOnThirdLine ? "/*\nThe block holds one line.\n*/\n" : "/*\n", out);
  if (WriteCode(out, size - (closeOnThirdLine ? 31 : 3), 7) != 0) return -1;
  return fclose(out);
}

static int MakeMany(long count, int lines, const char *folder) {
  /* Hard links cost no data blocks; a file takes at most 65,000 of them on ext4. */
  char source[4096], path[4096];
  for (long index = 0; index < count; ++index) {
    snprintf(path, sizeof path, "%s/entry_%07ld.txt", folder, index);
    if (index % 50000 == 0) {
      snprintf(source, sizeof source, "%s", path);
      FILE *out = fopen(path, "w");
      if (out == NULL) return -1;
      fputs("/*\n", out);
      for (int line = 1; line <= lines; ++line) fprintf(out, "Line %d of the block.\n", line);
      fputs("*/\n", out);
      if (fclose(out) != 0) return -1;
    } else if (link(source, path) != 0) {
      return -1;
    }
  }
  return 0;
}

static int MakeLarge(const char *folder) {
  char path[4096];
  for (int index = 0; index < 2000; ++index) {
    snprintf(path, sizeof path, "%s/part_%04d.txt", folder, index);
    FILE *out = fopen(path, "w");
    if (out == NULL) return -1;
    fprintf(out, "/*\nPart %d: the block at the head of a larger file.\n*/\n", index);
    if (WriteCode(out, 100 * 1024 - 60, index) != 0) return -1;
    if (fclose(out) != 0) return -1;
  }
  return 0;
}

int main(int argc, char *argv[]) {
  int failed = 1;
  if (argc == 3 && strcmp(argv[1], "small") == 0)
    failed = MakeSmall(argv[2], 1);
  else if (argc == 3 && strcmp(argv[1], "plain") == 0)
    failed = MakeSmall(argv[2], 0);
  else if (argc == 3 && strcmp(argv[1], "bigblock") == 0)
    failed = MakeBig(argv[2], 256LL << 20, 0);
  else if (argc == 3 && strcmp(argv[1], "bigtail") == 0)
    failed = MakeBig(argv[2], 2LL << 30, 1);
  else if (argc == 3 && strcmp(argv[1], "large") == 0)
    failed = MakeLarge(argv[2]);
  else if (argc == 5 && strcmp(argv[1], "many") == 0)
    failed = MakeMany(atol(argv[2]), atoi(argv[3]), argv[4]);
  else
    fprintf(stderr, "usage: corpus small|plain|bigblock|bigtail|large PATH, or corpus many N L FOLDER\n");
  if (failed) perror("corpus");
  return failed ? 1 : 0;
}
