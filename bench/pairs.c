/* Times two commands side by side: A, B, A, B, ... so that both meet the same state of a shared
   machine, and prints the median of the ratios A/B with the quartiles of those ratios.

     pairs [--runs N] [--cpu C] [--sync] [--cold] A-COMMAND -- B-COMMAND

   A command is its words, run without a shell; a last word ">FILE" sends its standard output to
   FILE, written over. --cpu C runs both on processor C only; --sync flushes the file systems
   before every run, so that one run's write-back does not land in the next one's time; --cold
   also empties the page cache and the caches of names and inodes before every run, so that every
   open and read goes to the storage (as root only). Two pairs
   are run first and not counted. The output is one line:

     ratio Q1 Q3 wallA wallB cpuA cpuB

   the median ratio of wall times, its quartiles, then the median wall and user+system times of A
   and of B in milliseconds. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { kMostRuns = 1000 };

struct Command {
  char **words;
  const char *output;
};

static double Now(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

/* Flushes the file systems and, if cold, empties the kernel's caches of their contents; returns 0
   on success. */
static int Flush(int cold) {
  sync();
  if (!cold) return 0;
  const int fd = open("/proc/sys/vm/drop_caches", O_WRONLY | O_CLOEXEC);
  const int written = fd >= 0 && write(fd, "3\n", 2) == 2;
  if (fd >= 0 && close(fd) != 0) return -1;
  return written ? 0 : -1;
}

/* Runs the command once; sets its wall and user+system time in milliseconds; returns 0 if it
   exited with status 0. */
static int RunOnce(const struct Command *command, double *wall, double *cpu) {
  const double start = Now();
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (command->output != NULL) {
      const int fd = open(command->output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0 || dup2(fd, 1) < 0) _exit(126);
      close(fd);
    }
    execvp(command->words[0], command->words);
    _exit(127);
  }
  int status;
  struct rusage usage;
  if (wait4(child, &status, 0, &usage) != child) return -1;
  *wall = Now() - start;
  *cpu = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}

static int CompareDoubles(const void *a, const void *b) {
  const double x = *(const double *)a, y = *(const double *)b;
  return (x > y) - (x < y);
}

/* Returns the value at fraction q of the n sorted values. */
static double Quantile(double *values, int n, double q) {
  qsort(values, n, sizeof values[0], CompareDoubles);
  const double at = q * (n - 1);
  const int below = (int)at;
  return below + 1 < n ? values[below] + (at - below) * (values[below + 1] - values[below]) : values[below];
}

static struct Command ParseCommand(char **words, int count) {
  struct Command command = {words, NULL};
  if (count > 1 && words[count - 1][0] == '>') {
    command.output = words[count - 1] + 1;
    words[count - 1] = NULL;
  } else {
    words[count] = NULL;
  }
  return command;
}

int main(int argc, char *argv[]) {
  int runs = 20, cpu = -1, flush = 0, cold = 0, at = 1;
  for (; at < argc && strncmp(argv[at], "--", 2) == 0 && argv[at][2] != '\0'; ++at) {
    if (strcmp(argv[at], "--runs") == 0 && at + 1 < argc) {
      runs = atoi(argv[++at]);
    } else if (strcmp(argv[at], "--cpu") == 0 && at + 1 < argc) {
      cpu = atoi(argv[++at]);
    } else if (strcmp(argv[at], "--sync") == 0) {
      flush = 1;
    } else if (strcmp(argv[at], "--cold") == 0) {
      flush = cold = 1;
    } else {
      break;
    }
  }
  int separator = at;
  while (separator < argc && strcmp(argv[separator], "--") != 0) ++separator;
  if (runs < 1 || runs > kMostRuns || separator == at || separator + 1 >= argc) {
    fprintf(stderr, "usage: pairs [--runs N] [--cpu C] [--sync] [--cold] A-COMMAND -- B-COMMAND\n");
    return 2;
  }
  if (cpu >= 0) {
    cpu_set_t processors;
    CPU_ZERO(&processors);
    CPU_SET(cpu, &processors);
    if (sched_setaffinity(0, sizeof processors, &processors) != 0) {
      perror("sched_setaffinity");
      return 1;
    }
  }
  /* argv ends in NULL, so the B command needs no room of its own; the A command ends where
     "--" stood. */
  const struct Command commands[2] = {ParseCommand(argv + at, separator - at),
                                      ParseCommand(argv + separator + 1, argc - separator - 1)};

  static double ratios[kMostRuns], walls[2][kMostRuns], cpus[2][kMostRuns];
  for (int run = -2; run < runs; ++run) {
    for (int side = 0; side < 2; ++side) {
      if (flush && Flush(cold) != 0) {
        perror("pairs: emptying the caches");
        return 1;
      }
      double wall, used;
      if (RunOnce(&commands[side], &wall, &used) != 0) {
        fprintf(stderr, "pairs: %s failed\n", commands[side].words[0]);
        return 1;
      }
      if (run < 0) continue;
      walls[side][run] = wall;
      cpus[side][run] = used;
    }
    if (run >= 0) ratios[run] = walls[0][run] / walls[1][run];
  }
  const double ratio = Quantile(ratios, runs, 0.5), low = Quantile(ratios, runs, 0.25),
               high = Quantile(ratios, runs, 0.75);
  printf("%.3f %.3f %.3f %.1f %.1f %.1f %.1f\n", ratio, low, high, Quantile(walls[0], runs, 0.5),
         Quantile(walls[1], runs, 0.5), Quantile(cpus[0], runs, 0.5), Quantile(cpus[1], runs, 0.5));
  return 0;
}
