// The framework's application-object chain, reduced to what a module needs on this platform:
// the library's module object derives from CWinApp, and its start and end have nothing to do.
#pragma once

#include <orv_platform/win32.h>

class CObject {
 public:
  virtual ~CObject() = default;
};
class CCmdTarget : public CObject {};
class CWinThread : public CCmdTarget {};
class CWinApp : public CWinThread {
 public:
  explicit CWinApp(const wchar_t* lpszAppName = nullptr) : m_pszAppName(lpszAppName) {}
  virtual BOOL InitInstance() { return TRUE; }
  virtual int ExitInstance() { return 0; }
  const wchar_t* m_pszAppName;
};
