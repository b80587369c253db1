// A program with the sandbox guard and nothing else: it says so when the guard let it run.
#include <cstdio>

int main() {
  puts("the guarded program ran");
  return 0;
}
