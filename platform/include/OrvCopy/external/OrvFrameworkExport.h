// Export macro of the framework subset (file exceptions).
//
// Built with hidden visibility, the library marks what a host may use with ORVFRAMEWORK_API.
// On Windows the project's own code (every library, and the tests that link them directly)
// is compiled with ORVCOPY_BUILDING and exports what it defines with __declspec(dllexport);
// a host imports it.
#pragma once

#if defined(_WIN32)
#if defined(ORVCOPY_BUILDING)
#define ORVFRAMEWORK_API __declspec(dllexport)
#else
#define ORVFRAMEWORK_API __declspec(dllimport)
#endif
#else
#define ORVFRAMEWORK_API __attribute__((visibility("default")))
#endif
