// Entry point of the workstation program.
#include <cstdio>

int main(int argc, char **argv) {
  std::printf("kavelund 0.1.0\n");
  return 0;
}
