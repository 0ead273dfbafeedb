// Blocks in use in a port's shared area: LiveBlocks (testutil.h).
#pragma once

#include "testutil.h"
