/* Holds a serial port the way other programs do, for the rig's guest, until killed:
 *   hold_port flock PATH   open the port and take an exclusive flock on it
 *   hold_port open PATH    keep the port open, nothing more
 *   hold_port lock PATH    write the UUCP lock file /run/lock/LCK..NAME with this process's id,
 *                          without opening the port
 * Prints "held" once the port is held. */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: hold_port flock|open|lock PATH\n");
    return 2;
  }
  const char* kind = argv[1];
  const char* path = argv[2];
  if (strcmp(kind, "lock") == 0) {
    const char* name = strrchr(path, '/') ? strrchr(path, '/') + 1 : path;
    char lock[256];
    snprintf(lock, sizeof lock, "/run/lock/LCK..%s", name);
    FILE* f = fopen(lock, "w");
    if (f == NULL || fprintf(f, "%10d\n", (int)getpid()) < 0 || fclose(f) != 0) {
      perror(lock);
      return 1;
    }
  } else {
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0 || (strcmp(kind, "flock") == 0 && flock(fd, LOCK_EX | LOCK_NB) != 0)) {
      perror(path);
      return 1;
    }
  }
  printf("held\n");
  fflush(stdout);
  for (;;) pause();
}
