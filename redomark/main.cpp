#include <cstdio>
#include <cstring>

#include "redomark/usage_text.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::printf("%s\n", redomark::usageText);
    return 2;
  }
  if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "help")) {
    std::printf("%s\n", redomark::usageText);
    return 0;
  }
  if (!std::strcmp(argv[1], "--version")) {
    std::printf("redomark 0.1.0\n");
    return 0;
  }
  std::fprintf(stderr, "redomark: unknown command \"%s\"\n%s\n", argv[1], redomark::usageText);
  return 2;
}
