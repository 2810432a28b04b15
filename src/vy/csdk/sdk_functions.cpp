// sdk_functions.cpp - finding an SDK function at its first call.
#include "sdk_functions.hpp"

#include <dlfcn.h>

// dlsym moved from libdl into the C library in glibc 2.34 under a new
// version; the original version is still there, and on older systems it is
// in libdl, which every CPython process has loaded to load its extension
// modules.  Asking for the original keeps the module's glibc floor where the
// rest of it puts it.
#if defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver dlsym,dlsym@GLIBC_2.2.5");
__asm__(".symver dlerror,dlerror@GLIBC_2.2.5");
#endif

namespace csdk {

void *find_sdk_function(const char *name) noexcept {
    // RTLD_DEFAULT from this module searches what the loader searches for
    // the module's own references: the global scope, then the module's
    // dependencies, libvy3-c.so among them.
    if (void *fn = dlsym(RTLD_DEFAULT, name))
        return fn;
    dlerror();  // the failure's text is not needed: the exception says it
    PyErr_Format(PyExc_ImportError, "libvy3-c.so: undefined symbol: %s", name);
    return nullptr;
}

}  // namespace csdk
