#include <OrvCopy/external/orv_encryption.h>

namespace orv {

CEncryption::CEncryption() = default;
CEncryption::~CEncryption() = default;

}  // namespace orv
