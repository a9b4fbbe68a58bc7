// Loads the link library on its own, creates links (one of them connected to the box whose port
// is the first argument), unloads the library and checks that every thread it started has
// ended. Exits 0 when all went well; otherwise says what went wrong on standard error.
#include <dirent.h>
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "Pc2Lan.h"

namespace {

int thread_count() {
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr) {
        return -1;
    }
    int count = 0;
    while (dirent* entry = ::readdir(tasks)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    ::closedir(tasks);
    return count;
}

bool threads_back_to(int count, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (thread_count() != count) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

int fail(int code, const char* what) {
    std::fprintf(stderr, "unload probe: %s\n", what);
    return code;
}

template <typename F>
F bind(void* library, const char* name) {
    return reinterpret_cast<F>(::dlsym(library, name));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return fail(2, "usage: link_unload_probe PORT");
    }
    int port = std::atoi(argv[1]);
    // A sanitizer runtime starts a helper thread of its own with the first thread created;
    // count after that has happened.
    std::thread([] {}).join();
    int baseline = thread_count();

    void* library = ::dlopen(TIVREL_PATH, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        return fail(3, ::dlerror());
    }
    auto create = bind<decltype(&Pc2Lan_Create)>(library, "Pc2Lan_Create");
    auto set_com = bind<decltype(&Pc2Lan_Set_Com_Param)>(library, "Pc2Lan_Set_Com_Param");
    auto connect = bind<decltype(&Pc2Lan_Connect)>(library, "Pc2Lan_Connect");
    auto keep_alive = bind<decltype(&Pc2Lan_Keep_Alive)>(library, "Pc2Lan_Keep_Alive");
    if (!create || !set_com || !connect || !keep_alive) {
        return fail(4, "an export is missing");
    }
    for (int32_t link : {0, 7, 255}) {
        if (create(link, "127.0.0.1", port, "BasicUser", "basic1234", "", "") != 0) {
            return fail(5, "Pc2Lan_Create failed");
        }
    }
    int32_t level = 0;
    if (set_com(7, 500, 3000) != 0 || connect(7, &level, 2) != 0 || keep_alive(7) != 0) {
        return fail(6, "the link did not connect to the box");
    }
    int with_links = thread_count();
    if (with_links < baseline + 3) {
        std::fprintf(stderr, "unload probe: %d threads before, %d with three links\n", baseline,
                     with_links);
        return fail(7, "the links have no idle threads of their own");
    }
    if (::dlclose(library) != 0) {
        return fail(8, ::dlerror());
    }
    if (::dlopen(TIVREL_PATH, RTLD_NOW | RTLD_NOLOAD) != nullptr) {
        return fail(9, "the library stays loaded after dlclose");
    }
    if (!threads_back_to(baseline, std::chrono::milliseconds(5000))) {
        std::fprintf(stderr, "unload probe: %d threads before, %d after unloading\n", baseline,
                     thread_count());
        return fail(10, "threads of the library outlive its unloading");
    }
    return 0;
}
