#include "hcapi/include/zwnet.h"

namespace {

constexpr uint8_t zwnet_version_major = 7;
constexpr uint8_t zwnet_version_minor = 38;

} // namespace

void zwnet_version(uint8_t *major, uint8_t *minor)
{
    if (major)
        *major = zwnet_version_major;
    if (minor)
        *minor = zwnet_version_minor;
}
