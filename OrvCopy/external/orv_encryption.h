// The encryption library: the engine that encrypts and decrypts the body of an encrypted
// backup file. The manager owns one engine.
#pragma once

#include <OrvCopy/OrvCopyExport.h>

namespace orv {

class ORVCOPY_API CEncryption {
 public:
  CEncryption();
  virtual ~CEncryption();
  CEncryption(const CEncryption&) = delete;
  CEncryption& operator=(const CEncryption&) = delete;
};

}  // namespace orv
