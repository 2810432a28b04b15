// programs.cpp - defaults of the programmed results.
#include "programs.h"

#include <cstring>

// A second build of the stand-in says another version, so a test can swap
// libraries under the built module and see which one answers.
#ifndef VYS_VERSION_TEXT
#define VYS_VERSION_TEXT "stand-in 1.0"
#endif

namespace standin {

void Programs::reset() { table_.assign(kFnCount, Program{}); }

Text Programs::text(Fn f) const {
    if (const auto &t = at(f).text) return *t;
    switch (f) {
    case Fn::vyi_get_c_version: return {false, VYS_VERSION_TEXT};
    case Fn::vyi_get_serv_addr: return {false, "127.0.0.1:7001"};
    default: break;
    }
    // vyi_strerror's default depends on its argument; its hook fills it in.
    const char *name = fn_name(f);
    if (std::strncmp(name, "vyi_", 4) == 0) name += 4;
    return {false, std::string("stand-in ") + name};
}

}  // namespace standin
