/* The least a program can do that prints a line: what lomp --version is
 * measured against. */
#include <stdio.h>

int main(void) {
  puts("lomp 0.0.0");
  return 0;
}
