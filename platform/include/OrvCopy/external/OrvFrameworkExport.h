// Export macro of the framework subset (file exceptions).
//
// Built with hidden visibility, the library marks what a host may use with ORVFRAMEWORK_API. On
// Windows the library exports it with __declspec(dllexport) (when ORVFRAMEWORK_BUILDING is defined)
// and a host imports it.
#pragma once

#if defined(_WIN32)
#if defined(ORVFRAMEWORK_BUILDING)
#define ORVFRAMEWORK_API __declspec(dllexport)
#else
#define ORVFRAMEWORK_API __declspec(dllimport)
#endif
#else
#define ORVFRAMEWORK_API __attribute__((visibility("default")))
#endif
