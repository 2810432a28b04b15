// sdk_functions.hpp - the SDK library's functions, each looked up at its first
// call instead of when the module is loaded.
//
// The interpreter opens extension modules with RTLD_NOW, so every function
// the module named directly would be bound at import: about 190 lookups
// through every object of the process's global scope, a tenth of the import.
// Each function is instead found by name when it is first called, with the
// loader's own search from this module (the same object the loader would
// have bound), and kept.  A library that lacks one makes that call raise
// ImportError with the loader's words; every other call goes on working.
//
//     auto fn = CSDK_SDK(vyi_poll)::get();   // nullptr: the exception is set
//
// get() is called holding the interpreter (attached, on a free-threaded
// build), before the library call's scope is entered.
#ifndef CSDK_SDK_FUNCTIONS_HPP
#define CSDK_SDK_FUNCTIONS_HPP

#include <atomic>

#include "ref.hpp"
#include "vycsdk.h"

namespace csdk {

/// name's address in the SDK library as the loader would bind it from this
/// module, or nullptr with ImportError set.
void *find_sdk_function(const char *name) noexcept;

template <class F, const char *Name>
struct SdkFunction {
    using Ptr = F;
    static F get() noexcept {
        F fn = slot.load(std::memory_order_relaxed);
        if (__builtin_expect(fn != nullptr, 1))
            return fn;
        fn = reinterpret_cast<F>(find_sdk_function(Name));
        if (fn)
            slot.store(fn, std::memory_order_relaxed);  // the same address whichever thread stores it
        return fn;
    }
    static inline std::atomic<F> slot{nullptr};
};

/// Every function of the library's header, from the header's own lists:
/// CSDK_SDK_ONE_(name) for each, as defined where the list is expanded.
#define CSDK_SDK_TYPED_(ret, name, params, args) CSDK_SDK_ONE_(name)
#define CSDK_SDK_EACH_                         \
    VYCSDK_QUERY_FUNCS(CSDK_SDK_ONE_)          \
    VYCSDK_COMMAND_FUNCS(CSDK_SDK_ONE_)        \
    VYCSDK_TYPED_FUNCS(CSDK_SDK_TYPED_)        \
    CSDK_SDK_ONE_(vyi_set_event_callback_pb)

/// The names as objects with linkage, for the template above.
namespace sdk_name {
#define CSDK_SDK_ONE_(name) inline constexpr char name[] = #name;
CSDK_SDK_EACH_
#undef CSDK_SDK_ONE_
}  // namespace sdk_name

/// sdk::vyi_poll is SdkFunction<decltype(&vyi_poll), "vyi_poll">.
namespace sdk {
#define CSDK_SDK_ONE_(name) using name = SdkFunction<decltype(&::name), sdk_name::name>;
CSDK_SDK_EACH_
#undef CSDK_SDK_ONE_
}  // namespace sdk

#undef CSDK_SDK_EACH_
#undef CSDK_SDK_TYPED_

}  // namespace csdk

/// The lazily bound library function `name` (a type; ::get() gives the pointer).
#define CSDK_SDK(name) ::csdk::sdk::name

#endif  // CSDK_SDK_FUNCTIONS_HPP
