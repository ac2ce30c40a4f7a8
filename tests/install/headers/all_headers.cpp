#include <OrvCopy/OrvCopyManager.h>
#include <OrvCopy/OrvCopyStrings.h>
#include <OrvCopy/external/OrvComp.h>
#include <OrvCopy/external/OrvFramework.h>
#include <OrvCopy/external/OrvGlobalMFC.h>
#include <OrvCopy/external/OrvLogging.h>
#include <OrvCopy/external/orv_encryption.h>

// Platform names must not reach a host as macros.
#if defined(CreateFileW) || defined(CreateFile) || defined(DeleteFile) || defined(min) || \
    defined(max) || defined(GetLastError) || defined(MAX_PATH) || defined(TRUE) ||        \
    defined(FALSE) || defined(BOOL) || defined(DWORD) || defined(HANDLE) ||               \
    defined(INVALID_HANDLE_VALUE) || defined(ERROR_FILE_NOT_FOUND) || defined(GENERIC_READ)
#error "a public header defines a platform name as a macro"
#endif

// Nor as names in the global namespace that would clash with a host's own Windows layer.
struct DWORD {};
struct HANDLE {};
struct BOOL {};
int CreateFileW(int);
int GetLastError(int);
