// Preloaded into `kavrin` by tests/killanywhere/run: every fsync takes 20 ms longer, as on a slow
// disk, so that kills aimed at the saving of the caches land between a cache's temporary file and
// its rename instead of before or after the whole save.
#include <dlfcn.h>

#include <chrono>
#include <thread>

extern "C" int fsync(int descriptor) {
    using Fsync = int (*)(int);
    static const auto next = reinterpret_cast<Fsync>(dlsym(RTLD_NEXT, "fsync"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return next(descriptor);
}
