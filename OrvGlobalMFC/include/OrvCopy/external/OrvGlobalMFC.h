// The file-services library: folder creation and forced file deletion.
#pragma once

#include <OrvCopy/external/OrvGlobalMFCExport.h>

// Creates the folder and every missing parent. Nonzero when the folder exists afterwards.
ORVGLOBALMFC_API int OrvCreateFolder(const wchar_t* lpszFolder);

// Deletes a file. With bForce nonzero a read-only attribute is cleared first. Nonzero when
// no file is left at the path afterwards (also when there was none).
ORVGLOBALMFC_API int OrvDeleteFileEx(const wchar_t* lpszPath, int bForce);

// Makes sure a folder exists. With bPathIsFolder nonzero the whole path is the folder;
// with 0 it is a file path and its parent folder is meant. Nonzero when the folder exists
// afterwards; an empty or null path gives 0 and touches nothing.
ORVGLOBALMFC_API int OrvEnsureFolderIsCreated(const wchar_t* lpszPath, int bPathIsFolder);
