// The layer's ANSI code page is UTF-8: path bytes go to the system as they are, and no
// byte is a lead byte. Test builds can give it a double-byte code page's lead bytes,
// so that the library's reading of paths by characters runs natively too.
#include "fault_hook.h"
#include "winapi.h"

#if defined(QUISEL_FAULT_SEAM)
namespace {
const unsigned char* g_leadBytes;
}  // namespace

void SeamUseLeadBytes(const unsigned char* leadBytes) { g_leadBytes = leadBytes; }

BOOL IsDBCSLeadByte(BYTE TestChar) {
    return g_leadBytes != nullptr && g_leadBytes[TestChar] != 0 ? TRUE : FALSE;
}
#else
BOOL IsDBCSLeadByte(BYTE) { return FALSE; }
#endif
