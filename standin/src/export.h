// export.h - the library is built with hidden visibility; only the SDK and
// control functions are marked for export.
#pragma once

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))
