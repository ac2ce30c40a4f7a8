// Export macro of the logging library.
//
// Built with hidden visibility, the library marks what a host may use with ORVLOGGING_API. On
// Windows the library exports it with __declspec(dllexport) (when ORVLOGGING_BUILDING is defined)
// and a host imports it.
#pragma once

#if defined(_WIN32)
#if defined(ORVLOGGING_BUILDING)
#define ORVLOGGING_API __declspec(dllexport)
#else
#define ORVLOGGING_API __declspec(dllimport)
#endif
#else
#define ORVLOGGING_API __attribute__((visibility("default")))
#endif
