// Export macro of the compression library (host callback and ZIP engine).
//
// Built with hidden visibility, the library marks what a host may use with ORVCOMP_API. On Windows
// the library exports it with __declspec(dllexport) (when ORVCOMP_BUILDING is defined) and a host
// imports it.
#pragma once

#if defined(_WIN32)
#if defined(ORVCOMP_BUILDING)
#define ORVCOMP_API __declspec(dllexport)
#else
#define ORVCOMP_API __declspec(dllimport)
#endif
#else
#define ORVCOMP_API __attribute__((visibility("default")))
#endif
