// The scene library: scenes, actions, schedules, events and security scenes,
// stored and run per network. The daemon initialises the library once for
// the process and binds each network to it when the network starts.
//
// Results: 0 success; anything else fails the caller's message.
#pragma once

#include <cstddef>

// Process-wide start; the caller names its thread "Scene" around the call,
// so that threads started here carry that name. A second call while the
// library runs changes nothing and succeeds.
int zwscn_init(void);
// Process-wide end; nothing happens when the library is not running.
void zwscn_shutdown(void);

// What the library saw of its own life, for the daemon's tests: whether it
// runs, and the name of the thread that last started it (empty before).
int zwscn_is_running(void);
void zwscn_init_thread_name_get(char *name, size_t size);
