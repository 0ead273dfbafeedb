#include "backend.h"

#include <string.h>

namespace krzcom {

const Backend* BackendFind(const char* pszName) {
  static const Backend* const kBackends[] = {&g_virtualBackend, &g_memoryBackend};
  for (const Backend* pBackend : kBackends)
    if (strcmp(pBackend->pszName, pszName) == 0) return pBackend;
  return NULL;
}

}  // namespace krzcom
