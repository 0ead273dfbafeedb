#include "backend.h"

#include <string.h>

namespace krzcom {

const Backend* BackendFind(const char* pszName) {
  static const Backend* const kBackends[] = {
    &g_virtualBackend,
    &g_memoryBackend,
#if defined(__linux__)
    &g_ppdevBackend,
#endif
#if defined(_WIN32)
    &g_winparBackend,
#endif
  };
  for (const Backend* pBackend : kBackends)
    if (strcmp(pBackend->pszName, pszName) == 0) return pBackend;
  return NULL;
}

}  // namespace krzcom
