// Export macro of the file-service library.
//
// Built with hidden visibility, the library marks what a host may use with ORVGLOBALMFC_API. On
// Windows the library exports it with __declspec(dllexport) (when ORVGLOBALMFC_BUILDING is defined)
// and a host imports it.
#pragma once

#if defined(_WIN32)
#if defined(ORVGLOBALMFC_BUILDING)
#define ORVGLOBALMFC_API __declspec(dllexport)
#else
#define ORVGLOBALMFC_API __declspec(dllimport)
#endif
#else
#define ORVGLOBALMFC_API __attribute__((visibility("default")))
#endif
