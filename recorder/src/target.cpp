// target.cpp - loading the real library named by VY_RECORD_TARGET.
//
// It is opened by path with RTLD_LOCAL, so its exports (the same names as
// ours) never enter the global scope. Should the host have made our own
// exports global, a call the library makes to its own export may land in the
// recorder; forward.h passes such calls straight back (see t_inside), so no
// linker trick specific to one library (-Bsymbolic, RTLD_DEEPBIND) is needed.
#include "target.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace recorder {

void *g_target_fns[kFnCount];

namespace {

char g_target_path[4096];

// A symbol that lives in the recorder itself (the variable pointing at the
// recorder, or a bare soname that finds it) would forward to itself for ever.
bool is_own(void *p) {
    Dl_info mine, theirs;
    if (!dladdr(reinterpret_cast<void *>(&load_target), &mine)) return false;
    return dladdr(p, &theirs) && theirs.dli_fbase == mine.dli_fbase;
}

}  // namespace

void load_target() {
    const char *path = getenv("VY_RECORD_TARGET");
    if (!path || !*path) {
        fprintf(stderr, "vy3 recorder: VY_RECORD_TARGET is not set; every SDK call returns an error status\n");
        return;
    }
    void *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *why = dlerror();
        fprintf(stderr, "vy3 recorder: cannot load VY_RECORD_TARGET %s (%s); every SDK call returns an error status\n",
                path, why ? why : "unknown error");
        return;
    }
    int missing = 0, own = 0;
    char list[512];
    size_t used = 0;
    list[0] = 0;
    for (int i = 0; i < kFnCount; ++i) {
        void *p = dlsym(handle, kFnNames[i]);
        if (p && is_own(p)) {
            ++own;
            p = nullptr;
        } else if (!p) {
            ++missing;
            // Name the first few; the count says how many there are.
            size_t n = strlen(kFnNames[i]);
            if (used + n + 8 < sizeof list) {
                used += static_cast<size_t>(snprintf(list + used, sizeof list - used, "%s%s", used ? ", " : "", kFnNames[i]));
            } else if (used + 6 < sizeof list && list[used - 1] != '.') {
                used += static_cast<size_t>(snprintf(list + used, sizeof list - used, ", ..."));
            }
        }
        g_target_fns[i] = p;
    }
    snprintf(g_target_path, sizeof g_target_path, "%s", path);
    if (own) {
        g_target_path[0] = 0;
        memset(g_target_fns, 0, sizeof g_target_fns);
        fprintf(stderr, "vy3 recorder: VY_RECORD_TARGET %s is the recorder itself; every SDK call returns an error status\n",
                path);
    } else if (missing) {
        fprintf(stderr, "vy3 recorder: VY_RECORD_TARGET %s lacks %d SDK function(s): %s; those calls return an error status\n",
                path, missing, list);
    }
}

const char *target_path() { return g_target_path[0] ? g_target_path : nullptr; }

}  // namespace recorder
