/* The floor of the job with its waits overlapped: THREADS threads (16 by default) each take the
   next entry of the folder's listing, open it, read up to 64 KiB once and close it, until the
   listing ends. Nothing is parsed and nothing is written.

     floor_threads FOLDER [THREADS] */
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { kMostThreads = 256, kReadSize = 64 * 1024 };

static DIR *folder;
static pthread_mutex_t listing = PTHREAD_MUTEX_INITIALIZER;

/* Copies the next entry's name into name; returns 0 at the end of the listing. */
static int NextName(char *name) {
  pthread_mutex_lock(&listing);
  struct dirent *entry;
  do {
    entry = readdir(folder);
  } while (entry != NULL && (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0));
  if (entry != NULL) strcpy(name, entry->d_name);
  pthread_mutex_unlock(&listing);
  return entry != NULL;
}

static void *Run(void *unused) {
  (void)unused;
  char name[sizeof((struct dirent *)0)->d_name];
  char *buffer = malloc(kReadSize);
  if (buffer == NULL) return NULL;
  while (NextName(name)) {
    int fd = openat(dirfd(folder), name, O_RDONLY);
    if (fd < 0) continue;
    if (read(fd, buffer, kReadSize) < 0) perror(name);
    close(fd);
  }
  free(buffer);
  return NULL;
}

int main(int argc, char *argv[]) {
  int threads = argc == 3 ? atoi(argv[2]) : 16;
  if (argc < 2 || argc > 3 || threads < 1 || threads > kMostThreads) {
    fprintf(stderr, "usage: floor_threads FOLDER [THREADS]\n");
    return 2;
  }
  folder = opendir(argv[1]);
  if (folder == NULL) {
    perror(argv[1]);
    return 1;
  }
  pthread_t started[kMostThreads];
  int count = 0;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 128 * 1024);
  while (count < threads && pthread_create(&started[count], &attributes, Run, NULL) == 0) ++count;
  for (int index = 0; index < count; ++index) pthread_join(started[index], NULL);
  closedir(folder);
  return count == threads ? 0 : 1;
}
