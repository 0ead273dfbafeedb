// Checks of the port's shared records made by the randomized test's driver.
#pragma once

#include <windows.h>

#include <string>

// Empty when every ring's credit books add up, else what does not.
std::string CheckRingBooks(BYTE bPort);
// Empty when no channel is left and the area holds only the record's own
// blocks (dwBlocks: what the area's header counts).
std::string CheckPortBlocks(BYTE bPort, DWORD dwBlocks);
// Whether the port's link is down and no channel is left.
bool PortIdle(BYTE bPort);
