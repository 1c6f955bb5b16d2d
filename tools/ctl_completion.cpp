// Writes schedulerctl's bash completion: the script OUTPUT made from the
// template TEMPLATE, whose marked lines the command table fills in
// (ctlCompletion). Run by the build.
//
//   ctl_completion TEMPLATE OUTPUT
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "tools/ctl_commands.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: ctl_completion TEMPLATE OUTPUT\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::string script((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) {
    fprintf(stderr, "ctl_completion: cannot read %s\n", argv[1]);
    return 1;
  }
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  out << ctlCompletion(script);
  out.close();
  if (!out) {
    fprintf(stderr, "ctl_completion: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
