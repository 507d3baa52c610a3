// Multilevel Switch (0x26): the level, its supported switch types, and the
// level change that the daemon remembers of its own start and stop commands.
#pragma once

#include "util/zwu_array.h"

int zwp_avi_interfaces_switch_multilevel_init(zwu_array_list_t list);
