/* The floor of the job: list a folder and, for each entry, open it, read up to 64 KiB once and
   close it. Nothing is parsed and nothing is written. With --examine, it also learns what each
   entry is with statx before reading, as the tool must: it never reads a device or a pipe, and
   on a FUSE file system the size is known only so.

     floor [--examine] FOLDER */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char *argv[]) {
  static char buffer[64 * 1024];
  const int examine = argc == 3 && strcmp(argv[1], "--examine") == 0;
  if (argc != 2 + examine) {
    fprintf(stderr, "usage: floor [--examine] FOLDER\n");
    return 2;
  }
  DIR *folder = opendir(argv[1 + examine]);
  if (folder == NULL) {
    perror(argv[1 + examine]);
    return 1;
  }
  struct dirent *entry;
  while ((entry = readdir(folder)) != NULL) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    int fd = openat(dirfd(folder), entry->d_name, O_RDONLY);
    if (fd < 0) continue;
    struct statx status;
    if (examine && (statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_TYPE | STATX_SIZE, &status) != 0 ||
                    !S_ISREG(status.stx_mode))) {
      close(fd);
      continue;
    }
    if (read(fd, buffer, sizeof buffer) < 0) perror(entry->d_name);
    close(fd);
  }
  closedir(folder);
  return 0;
}
