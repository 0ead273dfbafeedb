// krzperi_script PORT FILE: plays the peripheral of PORT ("LPT1".."LPT3")
// as the script in FILE says (see scripted_peripheral.h), from a process of
// its own. Exit code 0 when every step held, 1 otherwise (the failures on
// standard error), 2 for bad arguments.
#include <stdio.h>

#include <string>

#include "scripted_peripheral.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  FILE* f = fopen(argv[2], "rb");
  if (!f) return 2;
  std::string script;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) script.append(buf, n);
  fclose(f);
  peri::Peripheral peripheral;
  bool fOk = peripheral.Attach(argv[1]) && peripheral.Run(script);
  fputs(peripheral.failures().c_str(), stderr);
  return fOk ? 0 : 1;
}
