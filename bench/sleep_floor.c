/* The floor of the sleeping daemon's memory: a C program that does nothing
 * but sleep, linked as the daemon is (same libc, same link options), so that
 * what the daemon holds beyond it is what its own work left behind. */
#include <unistd.h>

int main(void) {
  for (;;) pause();
}
