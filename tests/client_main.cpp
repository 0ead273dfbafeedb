// A client linked against the product library's import library: loading it
// attaches, WEP is reached through its exported name, the exit detaches.
#include "krzmlc15.h"

int main() { return WEP(0); }
