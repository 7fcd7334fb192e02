// Symbol export macro for the library's public surface.
#pragma once

#if defined(__GNUC__)
#define QRNAUTH_API __attribute__((visibility("default")))
#else
#define QRNAUTH_API
#endif
