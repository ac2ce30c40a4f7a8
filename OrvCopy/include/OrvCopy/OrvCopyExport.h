// Export macro of the OrvCopy library.
//
// The library is built with hidden visibility; only what a host needs carries ORVCOPY_API.
// On Windows the library exports with __declspec(dllexport) and a host imports.
#pragma once

#if defined(_WIN32)
#if defined(ORVCOPY_BUILDING_LIBRARY)
#define ORVCOPY_API __declspec(dllexport)
#else
#define ORVCOPY_API __declspec(dllimport)
#endif
#else
#define ORVCOPY_API __attribute__((visibility("default")))
#endif
