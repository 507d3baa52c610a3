#include "scene/zwscn.h"

#include <sys/prctl.h>

#include <cstring>
#include <mutex>

namespace {

struct zwscn_library {
    std::mutex lock;
    bool running = false;
    char init_thread_name[16] = {};
};

zwscn_library &library()
{
    static zwscn_library instance;
    return instance;
}

} // namespace

int zwscn_init(void)
{
    zwscn_library &lib = library();
    std::lock_guard<std::mutex> guard(lib.lock);
    if (lib.running)
        return 0;
    char name[16] = {};
    if (prctl(PR_GET_NAME, name, 0, 0, 0) != 0)
        name[0] = '\0';
    std::memcpy(lib.init_thread_name, name, sizeof name);
    lib.init_thread_name[sizeof lib.init_thread_name - 1] = '\0';
    lib.running = true;
    return 0;
}

void zwscn_shutdown(void)
{
    zwscn_library &lib = library();
    std::lock_guard<std::mutex> guard(lib.lock);
    lib.running = false;
}

int zwscn_is_running(void)
{
    zwscn_library &lib = library();
    std::lock_guard<std::mutex> guard(lib.lock);
    return lib.running ? 1 : 0;
}

void zwscn_init_thread_name_get(char *name, size_t size)
{
    if (!name || size == 0)
        return;
    zwscn_library &lib = library();
    std::lock_guard<std::mutex> guard(lib.lock);
    std::strncpy(name, lib.init_thread_name, size - 1);
    name[size - 1] = '\0';
}
