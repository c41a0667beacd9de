/* Runs one command and reports what it alone cost.
 *
 *   runstat RESULT_FILE COMMAND [ARGS...]
 *
 * Writes "wall_s user_s sys_s maxrss_kib exit" to RESULT_FILE. The command is started with
 * vfork + exec from this small process, because the kernel folds the address space that
 * an exec replaces into the new program's peak RSS: started straight from the Python
 * driver, every client would report the interpreter's 25 MiB. Descriptors are inherited
 * as they are, so the driver's pipes reach the command. */
#define _GNU_SOURCE
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

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
  int status = 0;
  struct rusage usage;
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      perror("runstat: wait4");
      return 125;
    }
  }
  clock_gettime(CLOCK_MONOTONIC, &t1);
  double wall = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  FILE* out = fopen(argv[1], "w");
  if (out == NULL) {
    perror("runstat: result file");
    return 125;
  }
  fprintf(out, "%.6f %ld.%06ld %ld.%06ld %ld %d\n", wall, (long)usage.ru_utime.tv_sec,
          (long)usage.ru_utime.tv_usec, (long)usage.ru_stime.tv_sec,
          (long)usage.ru_stime.tv_usec, usage.ru_maxrss, code);
  fclose(out);
  return code;
}
