// Export macro of the encryption engine.
//
// Built with hidden visibility, the library marks what a host may use with ORV_ENCRYPTION_API. On
// Windows the library exports it with __declspec(dllexport) (when ORV_ENCRYPTION_BUILDING is
// defined) and a host imports it.
#pragma once

#if defined(_WIN32)
#if defined(ORV_ENCRYPTION_BUILDING)
#define ORV_ENCRYPTION_API __declspec(dllexport)
#else
#define ORV_ENCRYPTION_API __declspec(dllimport)
#endif
#else
#define ORV_ENCRYPTION_API __attribute__((visibility("default")))
#endif
