#include "OrvCopyApp.h"

namespace OrvCopy {
namespace {

// Built when the library loads, like the framework's application object; on this platform
// the framework's start is the library's load hook, which runs InitInstance.
struct ModuleFrame {
  COrvCopyApp app;
  ModuleFrame() { app.InitInstance(); }
};
ModuleFrame g_module;

}  // namespace

COrvCopyApp::COrvCopyApp() : CWinApp(L"OrvCopy") {}

BOOL COrvCopyApp::InitInstance() {
  CWinApp::InitInstance();
  return TRUE;
}

}  // namespace OrvCopy
