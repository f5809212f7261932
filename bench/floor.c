/* The floor of the job: list a folder and, for each entry, open it, read up to 64 KiB once and
   close it. Nothing is parsed and nothing is written. */
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char *argv[]) {
  static char buffer[64 * 1024];
  if (argc != 2) {
    fprintf(stderr, "usage: floor FOLDER\n");
    return 2;
  }
  DIR *folder = opendir(argv[1]);
  if (folder == NULL) {
    perror(argv[1]);
    return 1;
  }
  struct dirent *entry;
  while ((entry = readdir(folder)) != NULL) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    int fd = openat(dirfd(folder), entry->d_name, O_RDONLY);
    if (fd < 0) continue;
    if (read(fd, buffer, sizeof buffer) < 0) perror(entry->d_name);
    close(fd);
  }
  closedir(folder);
  return 0;
}
