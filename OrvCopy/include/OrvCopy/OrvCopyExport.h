// Export macro of the OrvCopy library.
//
// Built with hidden visibility, the library marks what a host may use with ORVCOPY_API.
// On Windows the project's own code (every library, and the tests that link them directly)
// is compiled with ORVCOPY_BUILDING and exports what it defines with __declspec(dllexport);
// a host imports it.
#pragma once

#if defined(_WIN32)
#if defined(ORVCOPY_BUILDING)
#define ORVCOPY_API __declspec(dllexport)
#else
#define ORVCOPY_API __declspec(dllimport)
#endif
#else
#define ORVCOPY_API __attribute__((visibility("default")))
#endif
