/* Runs one command and reports what it alone cost.
 *
 *   runstat RESULT_FILE COMMAND [ARGS...]
 *
 * Writes "wall_s user_s sys_s maxrss_kib anon_kib exit" to RESULT_FILE. maxrss is the
 * kernel's exact peak; anon_kib is the largest RssAnon seen by sampling /proc every
 * millisecond on a thread of ours: the program's own heap and stacks without the shared
 * library pages that dominate maxrss. The command is started with
 * vfork + exec from this small process, because the kernel folds the address space that
 * an exec replaces into the new program's peak RSS: started straight from the Python
 * driver, every client would report the interpreter's 25 MiB. Descriptors are inherited
 * as they are, so the driver's pipes reach the command. */
#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static pid_t child;
static atomic_int done;
static long peak_anon;

static long rss_anon(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
  FILE* f = fopen(path, "re");
  if (f == NULL) return -1;
  char line[256];
  long kib = -1;
  while (fgets(line, sizeof line, f) != NULL) {
    if (strncmp(line, "RssAnon:", 8) == 0) {
      kib = strtol(line + 8, NULL, 10);
      break;
    }
  }
  fclose(f);
  return kib;
}

static void* sample(void* unused) {
  (void)unused;
  const struct timespec step = {0, 1000000};
  while (!atomic_load(&done)) {
    long kib = rss_anon(child);
    if (kib > peak_anon) peak_anon = kib;
    nanosleep(&step, NULL);
  }
  return NULL;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: runstat RESULT_FILE COMMAND [ARGS...]\n");
    return 125;
  }
  struct timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  pid_t pid = vfork();
  if (pid < 0) {
    perror("runstat: vfork");
    return 125;
  }
  if (pid == 0) {
    execvp(argv[2], argv + 2);
    _exit(127);
  }
  child = pid;
  pthread_t sampler;
  int sampling = pthread_create(&sampler, NULL, sample, NULL) == 0;
  int status = 0;
  struct rusage usage;
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      perror("runstat: wait4");
      return 125;
    }
  }
  clock_gettime(CLOCK_MONOTONIC, &t1);
  atomic_store(&done, 1);
  if (sampling) pthread_join(sampler, NULL);
  double wall = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  FILE* out = fopen(argv[1], "w");
  if (out == NULL) {
    perror("runstat: result file");
    return 125;
  }
  fprintf(out, "%.6f %ld.%06ld %ld.%06ld %ld %ld %d\n", wall, (long)usage.ru_utime.tv_sec,
          (long)usage.ru_utime.tv_usec, (long)usage.ru_stime.tv_sec,
          (long)usage.ru_stime.tv_usec, usage.ru_maxrss, peak_anon, code);
  fclose(out);
  return code;
}
