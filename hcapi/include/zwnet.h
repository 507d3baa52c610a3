// The host-controller library's network calls, as the daemon sees them.
#pragma once

#include <cstdint>

// The library's own version (major 7, minor 38); either pointer may be null.
void zwnet_version(uint8_t *major, uint8_t *minor);
