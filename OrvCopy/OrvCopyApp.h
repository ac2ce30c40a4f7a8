// The library's module object. It does nothing beyond the framework's default start: all the
// library's work happens in calls on COrvCopyManager.
#pragma once

#include <orv_platform/framework.h>

namespace OrvCopy {

class COrvCopyApp : public CWinApp {
 public:
  COrvCopyApp();
  BOOL InitInstance() override;
};

// The one instance, built when the library loads and destroyed when it unloads.
COrvCopyApp& TheApp();

}  // namespace OrvCopy
