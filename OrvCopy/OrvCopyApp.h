// The library's module object. It does nothing beyond the framework's default start: all the
// library's work happens in calls on COrvCopyManager.
#pragma once

#include <orv_platform/module.h>

namespace OrvCopy {

class COrvCopyApp : public CWinApp {
 public:
  COrvCopyApp();
  BOOL InitInstance() override;
};

}  // namespace OrvCopy
