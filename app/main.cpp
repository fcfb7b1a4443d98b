// Program entry. The HTTP server is not assembled yet: the program says so and exits.
#include <cstdio>

int main() {
  std::puts("appserver: the libraries are built; the HTTP server is not assembled yet.");
  return 0;
}
