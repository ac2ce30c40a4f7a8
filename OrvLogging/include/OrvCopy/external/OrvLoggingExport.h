// Export macro of the logging library.
//
// Built with hidden visibility, the library marks what a host may use with ORVLOGGING_API.
// On Windows the project's own code (every library, and the tests that link them directly)
// is compiled with ORVCOPY_BUILDING and exports what it defines with __declspec(dllexport);
// a host imports it.
#pragma once

#if defined(_WIN32)
#if defined(ORVCOPY_BUILDING)
#define ORVLOGGING_API __declspec(dllexport)
#else
#define ORVLOGGING_API __declspec(dllimport)
#endif
#else
#define ORVLOGGING_API __attribute__((visibility("default")))
#endif
