#include "krzmlc15.h"

int WINAPI WEP(int nParameter) {
  (void)nParameter;
  return 1;
}
