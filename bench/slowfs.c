/* A network-like file system: a FUSE passthrough of FOLDER that waits DELAY microseconds (500 by
   default) in every request, as a server across a network does, and lets the kernel cache no
   attributes or names, as NFS with actimeo=0 or a FUSE file system that revalidates does. Each
   request is served on a thread of its own, so that many can wait at once.

     slowfs FOLDER MOUNTPOINT [DELAY]      (unmount with: fusermount3 -u MOUNTPOINT) */
#define FUSE_USE_VERSION 31
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static int base;     /* FOLDER, open */
static long delay;   /* nanoseconds */

static void Wait(void) {
  struct timespec wait = {delay / 1000000000, delay % 1000000000};
  nanosleep(&wait, NULL);
}

/* A path within FOLDER, relative to it: "/a/b" becomes "a/b", "/" becomes ".". */
static const char *Inside(const char *path) { return path[1] == '\0' ? "." : path + 1; }

static void *Init(struct fuse_conn_info *connection, struct fuse_config *config) {
  (void)connection;
  config->entry_timeout = 0;
  config->attr_timeout = 0;
  config->negative_timeout = 0;
  return NULL;
}

static int GetAttributes(const char *path, struct stat *status, struct fuse_file_info *file) {
  Wait();
  int done = file != NULL ? fstat((int)file->fh, status)
                          : fstatat(base, Inside(path), status, AT_SYMLINK_NOFOLLOW);
  return done == 0 ? 0 : -errno;
}

static int ReadLink(const char *path, char *target, size_t size) {
  Wait();
  ssize_t got = readlinkat(base, Inside(path), target, size - 1);
  if (got < 0) return -errno;
  target[got] = '\0';
  return 0;
}

static int Open(const char *path, struct fuse_file_info *file) {
  Wait();
  int fd = openat(base, Inside(path), file->flags & ~O_NOFOLLOW);
  if (fd < 0) return -errno;
  file->fh = (uint64_t)fd;
  return 0;
}

static int Read(const char *path, char *into, size_t size, off_t offset, struct fuse_file_info *file) {
  (void)path;
  Wait();
  ssize_t got = pread((int)file->fh, into, size, offset);
  return got >= 0 ? (int)got : -errno;
}

static int Release(const char *path, struct fuse_file_info *file) {
  (void)path;
  Wait();
  close((int)file->fh);
  return 0;
}

static int ReadFolder(const char *path, void *listing, fuse_fill_dir_t fill, off_t offset,
                      struct fuse_file_info *file, enum fuse_readdir_flags flags) {
  (void)offset, (void)file, (void)flags;
  Wait();
  int fd = openat(base, Inside(path), O_RDONLY | O_DIRECTORY);
  DIR *folder = fd >= 0 ? fdopendir(fd) : NULL;
  if (folder == NULL) return -errno;
  for (struct dirent *entry; (entry = readdir(folder)) != NULL;) {
    struct stat status = {.st_ino = entry->d_ino, .st_mode = (mode_t)DTTOIF(entry->d_type)};
    if (fill(listing, entry->d_name, &status, 0, 0) != 0) break;
  }
  closedir(folder);
  return 0;
}

static const struct fuse_operations kOperations = {
    .init = Init,
    .getattr = GetAttributes,
    .readlink = ReadLink,
    .open = Open,
    .read = Read,
    .release = Release,
    .readdir = ReadFolder,
};

int main(int argc, char *argv[]) {
  if (argc < 3 || argc > 4) {
    fprintf(stderr, "usage: slowfs FOLDER MOUNTPOINT [DELAY]\n");
    return 2;
  }
  base = open(argv[1], O_RDONLY | O_DIRECTORY);
  if (base < 0) {
    perror(argv[1]);
    return 1;
  }
  delay = (argc == 4 ? atol(argv[3]) : 500) * 1000;
  /* In the background once mounted, with as many threads as requests wait at once. */
  char *fuseArguments[] = {argv[0], argv[2], NULL};
  return fuse_main(2, fuseArguments, &kOperations, NULL);
}
