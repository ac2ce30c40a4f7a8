#include <OrvCopy/external/OrvComp.h>

namespace OrvCompression {

// Defined here so that the interface has one vtable, in the library.
COrvCallBack::~COrvCallBack() = default;

}  // namespace OrvCompression
